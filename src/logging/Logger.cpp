#include "logging/Logger.h"

#include <cstdio>

#include "logging/LogRecord.h"
#include "platform/SystemTime.h"
#include "platform/ThreadId.h"

namespace Tarvent::VirtualChannel {

Logger& Logger::instance()
{
    static Logger logger;
    return logger;
}

Logger::~Logger()
{
    appenders_.clear();
}

void Logger::addAppender(std::unique_ptr<IAppender> appender)
{
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    appenders_.push_back(std::move(appender));
}

void Logger::removeAllAppenders()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    // Deleted in list order, the first added first.
    for (auto& appender : appenders_) {
        appender.reset();
    }
    appenders_.clear();
}

void Logger::log(int level, const char* format, va_list args)
{
    if (level < minimumLevel_) {
        return;
    }
    try {
        const std::lock_guard<std::recursive_mutex> lock(mutex_);
        const int written = std::vsnprintf(buffer_, sizeof buffer_, format, args);
        if (written < 0) {
            return;
        }
        dispatch(level, buffer_);
    } catch (...) {
        // Logging must never fail its caller; the entry is lost.
    }
}

void Logger::dispatch(int level, const char* text)
{
    LogRecord record;
    record.level = level;
    record.message = text;
    record.threadId = currentThreadId();
    record.localTime = getLocalTime();
    // Indexed: an appender that logs re-enters here and must not see a stale iterator.
    for (std::size_t i = 0; i < appenders_.size(); ++i) {
        appenders_[i]->append(record);
    }
}

#define OVRA_DEFINE_LOG_FUNCTION(name, level)          \
    void name(const char* format, ...)                 \
    {                                                  \
        va_list args;                                  \
        va_start(args, format);                        \
        Logger::instance().log((level), format, args); \
        va_end(args);                                  \
    }

OVRA_DEFINE_LOG_FUNCTION(logDebug, Debug)
OVRA_DEFINE_LOG_FUNCTION(logInfo, Info)
OVRA_DEFINE_LOG_FUNCTION(logWarning, Warning)
OVRA_DEFINE_LOG_FUNCTION(logError, Error)
OVRA_DEFINE_LOG_FUNCTION(logFatal, Fatal)

#undef OVRA_DEFINE_LOG_FUNCTION

}  // namespace Tarvent::VirtualChannel
