#pragma once

namespace Tarvent::VirtualChannel {

// Where a player sends its audio. A sink names a role, not a device object:
// the device behind it is looked up each time the player starts, so that a
// device change never leaves a player holding a device that is gone.
// Plain value; any thread.
struct SipAudioSink {
    enum class Kind {
        SoundDevice,  // the playback device in use (follows the selection)
        ExtraDevice,  // the extra playback device, while one is set and open
    };
    Kind kind = Kind::SoundDevice;
};

}  // namespace Tarvent::VirtualChannel
