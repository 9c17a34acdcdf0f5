#pragma once

#include <string>

#include "logging/LogRateLimiter.h"

namespace Tarvent::VirtualChannel {

// Writes the message library's own warnings and errors (for instance about a
// received string field that is not UTF-8) into the engine log instead of
// stderr, where under systemd they would flood the journal: at most
// kBurst lines per kWindow, the number held back logged with the next line
// that passes.
// One per process. install() before the first engine thread parses or
// serialises a message and uninstall() after the last has ended: the
// library's hook is not synchronised. route() runs on any thread.
class ProtobufLogRouter {
public:
    static constexpr std::size_t kBurst = 5;
    static constexpr std::chrono::milliseconds kWindow{10000};

    static ProtobufLogRouter& instance();

    ProtobufLogRouter(const ProtobufLogRouter&) = delete;
    ProtobufLogRouter& operator=(const ProtobufLogRouter&) = delete;

    void install();
    // Puts back the hook that was there before install().
    void uninstall();

    // One message of the library at its level (0 info, 1 warning, 2 error, 3 fatal).
    void route(int level, const char* file, int line, const std::string& message);

private:
    ProtobufLogRouter();

    LogRateLimiter limiter_;
    bool installed_ = false;
    void* previous_ = nullptr;
};

}  // namespace Tarvent::VirtualChannel
