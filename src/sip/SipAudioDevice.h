#pragma once

#include <string>

namespace Tarvent::VirtualChannel {

// One sound device as the engine sees it. Plain value; any thread.
struct SipAudioDevice {
    // Identity: the device's name as the sound system describes it, or
    // "default_capture_device" / "default_playback_device" for the entries
    // that stand for the system's default devices.
    std::string id;
    // Display name: equal to `id` for real devices.
    std::string name;
    bool isInput = false;
    bool isOutput = false;
    // Position in the stack's device enumeration at the last refresh; -1 for
    // the default capture entry, -2 for the default playback entry.
    int index = 0;
};

}  // namespace Tarvent::VirtualChannel
