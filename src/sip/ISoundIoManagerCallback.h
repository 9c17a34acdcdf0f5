#pragma once

namespace Tarvent::VirtualChannel {

// Room for reports of the SoundIoManager; nothing raises it yet.
class ISoundIoManagerCallback {
public:
    virtual ~ISoundIoManagerCallback() = default;
    virtual void onSoundIoDevicesChanged() = 0;
};

}  // namespace Tarvent::VirtualChannel
