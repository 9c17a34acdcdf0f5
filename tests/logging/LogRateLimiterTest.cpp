#include "logging/LogRateLimiter.h"

#include <gtest/gtest.h>

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;

TEST(LogRateLimiter, LetsABurstThroughPerWindowAndCountsTheRestForTheNextLine)
{
    LogRateLimiter limiter(2, 1000ms);
    const auto start = LogRateLimiter::Clock::now();
    std::uint64_t suppressed = 99;
    EXPECT_TRUE(limiter.admit(start, suppressed));
    EXPECT_EQ(0u, suppressed);
    EXPECT_TRUE(limiter.admit(start + 10ms, suppressed));
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(limiter.admit(start + 999ms, suppressed));
    }
    // A new window: the held-back count goes with the first line, once.
    EXPECT_TRUE(limiter.admit(start + 1000ms, suppressed));
    EXPECT_EQ(5u, suppressed);
    EXPECT_TRUE(limiter.admit(start + 1001ms, suppressed));
    EXPECT_EQ(0u, suppressed);
    EXPECT_FALSE(limiter.admit(start + 1002ms, suppressed));
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
