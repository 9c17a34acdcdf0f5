#pragma once

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "logging/IAppender.h"

namespace Tarvent::VirtualChannel {

// The process-wide log. Any thread may log at any time; one recursive mutex
// serialises formatting and delivery, so appenders see one record at a time.
// Lock order: the Logger's lock comes after every other lock of the engine
// and before an appender's own lock.
class Logger {
public:
    static Logger& instance();

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // The Logger owns the appender from now on.
    void addAppender(std::unique_ptr<IAppender> appender);
    // Deletes every appender; later lines reach nobody.
    void removeAllAppenders();

    // Formats (at most 2047 characters) and delivers one entry. Never throws.
    void log(int level, const char* format, va_list args);

private:
    Logger() = default;
    ~Logger();

    void dispatch(int level, const char* text);

    std::vector<std::unique_ptr<IAppender>> appenders_;
    std::int32_t minimumLevel_ = 0;
    char buffer_[2048] = {};
    std::recursive_mutex mutex_;
};

#define OVRA_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
void logDebug(const char* format, ...) OVRA_PRINTF_FORMAT;
void logInfo(const char* format, ...) OVRA_PRINTF_FORMAT;
void logWarning(const char* format, ...) OVRA_PRINTF_FORMAT;
void logError(const char* format, ...) OVRA_PRINTF_FORMAT;
void logFatal(const char* format, ...) OVRA_PRINTF_FORMAT;
#undef OVRA_PRINTF_FORMAT

}  // namespace Tarvent::VirtualChannel
