#pragma once

#include <cstdint>
#include <string>

namespace Tarvent::VirtualChannel {

// Where and how large the log files are. `fileName` must not contain a '.'.
struct FileAppenderConfig {
    std::string directory;
    std::string fileName = "Log";
    std::int64_t maxFileSize = 10485760;
    // Log files kept, the live file included.
    std::int32_t maxFileCount = 10;
};

}  // namespace Tarvent::VirtualChannel
