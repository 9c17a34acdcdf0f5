#include "proto/ProtobufLogRouter.h"

#include <google/protobuf/stubs/logging.h>

#include "logging/Logger.h"

namespace Tarvent::VirtualChannel {

namespace {

void onLibraryLog(google::protobuf::LogLevel level, const char* file, int line, const std::string& message)
{
    ProtobufLogRouter::instance().route(static_cast<int>(level), file, line, message);
}

// One log line per message, whatever the library put into it.
std::string oneLine(const std::string& text)
{
    std::string line = text;
    for (char& c : line) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return line;
}

}  // namespace

ProtobufLogRouter& ProtobufLogRouter::instance()
{
    static ProtobufLogRouter router;
    return router;
}

ProtobufLogRouter::ProtobufLogRouter() : limiter_(kBurst, kWindow) {}

void ProtobufLogRouter::install()
{
    if (installed_) {
        return;
    }
    previous_ = reinterpret_cast<void*>(google::protobuf::SetLogHandler(&onLibraryLog));
    installed_ = true;
}

void ProtobufLogRouter::uninstall()
{
    if (!installed_) {
        return;
    }
    google::protobuf::SetLogHandler(reinterpret_cast<google::protobuf::LogHandler*>(previous_));
    previous_ = nullptr;
    installed_ = false;
}

void ProtobufLogRouter::route(int level, const char* file, int line, const std::string& message)
{
    std::uint64_t suppressed = 0;
    if (!limiter_.admit(LogRateLimiter::Clock::now(), suppressed)) {
        return;
    }
    if (suppressed > 0) {
        logWarning("Message library messages suppressed: count=%llu", static_cast<unsigned long long>(suppressed));
    }
    const std::string text = oneLine(message);
    const char* const where = file != nullptr ? file : "";
    switch (level) {
    case google::protobuf::LOGLEVEL_INFO:
        logInfo("Message library: file=%s; line=%d; message=\"%s\"", where, line, text.c_str());
        break;
    case google::protobuf::LOGLEVEL_WARNING:
        logWarning("Message library: file=%s; line=%d; message=\"%s\"", where, line, text.c_str());
        break;
    case google::protobuf::LOGLEVEL_ERROR:
        logError("Message library: file=%s; line=%d; message=\"%s\"", where, line, text.c_str());
        break;
    default:
        // The library aborts after a fatal message: this line may be the last.
        logFatal("Message library: file=%s; line=%d; message=\"%s\"", where, line, text.c_str());
        break;
    }
}

}  // namespace Tarvent::VirtualChannel
