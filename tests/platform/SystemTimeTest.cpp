#include "platform/SystemTime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <tuple>

namespace Tarvent::VirtualChannel {
namespace {

auto fields(const SystemTime& t)
{
    return std::make_tuple(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
}

// Sets the process's time zone for one test; the one before comes back.
class TimeZone {
public:
    explicit TimeZone(const char* zone)
    {
        if (const char* before = std::getenv("TZ")) {
            before_ = before;
            hadOne_ = true;
        }
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~TimeZone()
    {
        if (hadOne_) {
            ::setenv("TZ", before_.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }
    TimeZone(const TimeZone&) = delete;
    TimeZone& operator=(const TimeZone&) = delete;

private:
    std::string before_;
    bool hadOne_ = false;
};

// A crash handler's clock reads as the log's clock: its own calendar
// arithmetic from the offset that the log's clock found, also in zones
// west and east of UTC with offsets of half an hour.
TEST(SystemTime, TheCrashHandlersClockReadsAsTheLocalClock)
{
    for (const char* zone : {"UTC0", "NST3:30", "IST-5:30", "LINT-14"}) {
        const TimeZone timeZone(zone);
        const SystemTime before = getLocalTime();
        const SystemTime crash = getLocalTimeInCrash();
        const SystemTime after = getLocalTime();
        EXPECT_LE(fields(before), fields(crash)) << zone;
        EXPECT_LE(fields(crash), fields(after)) << zone;
        EXPECT_EQ(crash.wDayOfWeek, before.wDay == crash.wDay ? before.wDayOfWeek : after.wDayOfWeek) << zone;
    }
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
