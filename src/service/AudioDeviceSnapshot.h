#pragma once

#include <cstdint>
#include <vector>

#include "service/AudioDeviceRecord.h"

namespace Tarvent::VirtualChannel {

// The device list as the client sees it: the devices in ascending object id
// order and the ids of the devices in use and of the system's defaults (-1:
// none). Plain value type; any thread.
struct AudioDeviceSnapshot {
    std::vector<AudioDeviceRecord> records;
    std::int32_t defaultInputObjectId = -1;
    std::int32_t defaultOutputObjectId = -1;
    std::int32_t systemDefaultInputObjectId = -1;
    std::int32_t systemDefaultOutputObjectId = -1;
};

}  // namespace Tarvent::VirtualChannel
