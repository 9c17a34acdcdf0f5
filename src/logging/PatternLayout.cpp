#include "logging/PatternLayout.h"

#include <cstdio>
#include <sstream>

#include "logging/LogRecord.h"

namespace Tarvent::VirtualChannel {

char logLevelLetter(int level)
{
    static const char letters[] = "DIWEF-G-";
    if (level < 0 || level > 7) {
        return '?';
    }
    return letters[level];
}

std::string formatTimestamp(const SystemTime& time)
{
    char buffer[84] = {};
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03d", time.wYear, time.wMonth,
                  time.wDay, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
    return buffer;
}

std::string PatternLayout::format(const LogRecord& record)
{
    std::ostringstream line;
    line << formatTimestamp(record.localTime) << ' ' << std::hex << record.threadId << std::dec << ' '
         << logLevelLetter(record.level) << ' ' << record.message << '\n';
    return line.str();
}

}  // namespace Tarvent::VirtualChannel
