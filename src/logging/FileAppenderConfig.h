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
    // Lines below error level are handed to a writer thread and reach the
    // file within a few milliseconds instead of before append() returns;
    // errors (and everything queued before them) are written at once.
    bool writeBehind = false;
};

}  // namespace Tarvent::VirtualChannel
