#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace Tarvent::VirtualChannel {

// Lets at most `burst` lines of one source through per window and counts the
// rest, so that whatever makes a source talk (a client, a peer) cannot fill
// the log files. Thread-safe; its lock is a leaf taken before the Logger's.
class LogRateLimiter {
public:
    using Clock = std::chrono::steady_clock;

    // `burst` > 0.
    LogRateLimiter(std::size_t burst, std::chrono::milliseconds window);

    // Whether a line may be written at `now`. When it may, `suppressed` is
    // how many were held back since the last one that passed (0 otherwise).
    bool admit(Clock::time_point now, std::uint64_t& suppressed);

private:
    const std::size_t burst_;
    const std::chrono::milliseconds window_;
    std::mutex mutex_;  // guards the fields below
    Clock::time_point windowStart_{};
    bool started_ = false;
    std::size_t admitted_ = 0;
    std::uint64_t suppressed_ = 0;
};

}  // namespace Tarvent::VirtualChannel
