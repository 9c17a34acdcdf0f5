#pragma once

#include "sip/SipAudioDeviceList.h"

namespace Tarvent::VirtualChannel {

// Told when the device list or the devices in use changed. Called on the
// device manager's refresh thread with no lock of the manager held, so it may
// call back into the manager.
class ISipAudioDeviceManagerCallback {
public:
    virtual ~ISipAudioDeviceManagerCallback() = default;
    virtual void onAudioDevicesChanged(const SipAudioDeviceList& devices) = 0;
};

}  // namespace Tarvent::VirtualChannel
