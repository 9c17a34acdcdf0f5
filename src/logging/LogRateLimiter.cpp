#include "logging/LogRateLimiter.h"

namespace Tarvent::VirtualChannel {

LogRateLimiter::LogRateLimiter(std::size_t burst, std::chrono::milliseconds window) : burst_(burst), window_(window)
{
}

bool LogRateLimiter::admit(Clock::time_point now, std::uint64_t& suppressed)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!started_ || now - windowStart_ >= window_) {
        started_ = true;
        windowStart_ = now;
        admitted_ = 0;
    }
    if (admitted_ >= burst_) {
        ++suppressed_;
        suppressed = 0;
        return false;
    }
    ++admitted_;
    suppressed = suppressed_;
    suppressed_ = 0;
    return true;
}

}  // namespace Tarvent::VirtualChannel
