#pragma once

#include <cstdint>
#include <string>

namespace Tarvent::VirtualChannel {

// One sound device as the client sees it. Plain value type; any thread.
struct AudioDeviceRecord {
    std::string name;  // the engine's device id, in the system code page
    bool isInputDevice = false;
    bool isOutputDevice = false;
    bool isCallDevice = false;
    std::int32_t objectId = -1;
};

}  // namespace Tarvent::VirtualChannel
