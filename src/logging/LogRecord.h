#pragma once

#include <cstdint>
#include <string>

#include "platform/SystemTime.h"

namespace Tarvent::VirtualChannel {

enum LogLevel : std::int32_t {
    Debug = 0,
    Info = 1,
    Warning = 2,
    Error = 3,
    Fatal = 4,
};

// One log entry as every appender receives it.
struct LogRecord {
    std::int32_t level = Debug;
    std::string message;
    std::uint32_t threadId = 0;
    SystemTime localTime;
};

}  // namespace Tarvent::VirtualChannel
