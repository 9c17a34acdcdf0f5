#pragma once

#include <string>
#include <vector>

#include "sip/SipAudioDevice.h"

namespace Tarvent::VirtualChannel {

// The device list the device manager stores and reports. Plain value; any thread.
struct SipAudioDeviceList {
    std::vector<SipAudioDevice> devices;  // sorted by `id`, byte-wise
    std::string defaultInputId;           // the capture device in use; empty when unknown
    std::string defaultOutputId;          // the playback device in use; empty when unknown
    std::string systemDefaultInputId;
    std::string systemDefaultOutputId;
};

}  // namespace Tarvent::VirtualChannel
