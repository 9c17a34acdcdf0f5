#pragma once

#include "service/AudioDeviceSnapshot.h"

namespace Tarvent::VirtualChannel {

// The client of the audio device manager service (the packet handler): told
// when the device list changed. Called on the device refresh thread with no
// lock of the service held. `objectId` is the device manager's id, always 1.
class IAudioDeviceManagerServiceCallback {
public:
    virtual ~IAudioDeviceManagerServiceCallback() = default;
    virtual void onAudioDevicesChanged(int objectId, const AudioDeviceSnapshot& snapshot) = 0;
};

}  // namespace Tarvent::VirtualChannel
