#include "platform/SystemTime.h"

#include <atomic>
#include <ctime>

namespace Tarvent::VirtualChannel {

namespace {

// Seconds east of UTC, as the last getLocalTime() found; read in signal handlers.
std::atomic<long> gUtcOffset{0};
static_assert(std::atomic<long>::is_always_lock_free, "read in signal handlers");

constexpr long kSecondsPerDay = 86400;

}  // namespace

SystemTime getLocalTime()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    gUtcOffset.store(local.tm_gmtoff, std::memory_order_relaxed);

    SystemTime t;
    t.wYear = static_cast<std::uint16_t>(local.tm_year + 1900);
    t.wMonth = static_cast<std::uint16_t>(local.tm_mon + 1);
    t.wDayOfWeek = static_cast<std::uint16_t>(local.tm_wday);
    t.wDay = static_cast<std::uint16_t>(local.tm_mday);
    t.wHour = static_cast<std::uint16_t>(local.tm_hour);
    t.wMinute = static_cast<std::uint16_t>(local.tm_min);
    // A leap second (tm_sec 60) is kept as it is; the log only prints it.
    t.wSecond = static_cast<std::uint16_t>(local.tm_sec);
    t.wMilliseconds = static_cast<std::uint16_t>(now.tv_nsec / 1000000);
    return t;
}

SystemTime getLocalTimeInCrash() noexcept
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const long long seconds = static_cast<long long>(now.tv_sec) + gUtcOffset.load(std::memory_order_relaxed);
    long long days = seconds / kSecondsPerDay;
    long long inDay = seconds % kSecondsPerDay;
    if (inDay < 0) {
        inDay += kSecondsPerDay;
        --days;
    }
    // The civil date of a day count since 1970-01-01, in the proleptic
    // Gregorian calendar (eras of 400 years, years from March on).
    const long long shifted = days + 719468;
    const long long era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
    const long long dayOfEra = shifted - era * 146097;
    const long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long monthFromMarch = (5 * dayOfYear + 2) / 153;
    const long long day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
    const long long month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);

    SystemTime t;
    t.wYear = static_cast<std::uint16_t>(year);
    t.wMonth = static_cast<std::uint16_t>(month);
    t.wDayOfWeek = static_cast<std::uint16_t>((days % 7 + 11) % 7);  // 1970-01-01 was a Thursday
    t.wDay = static_cast<std::uint16_t>(day);
    t.wHour = static_cast<std::uint16_t>(inDay / 3600);
    t.wMinute = static_cast<std::uint16_t>(inDay / 60 % 60);
    t.wSecond = static_cast<std::uint16_t>(inDay % 60);
    t.wMilliseconds = static_cast<std::uint16_t>(now.tv_nsec / 1000000);
    return t;
}

}  // namespace Tarvent::VirtualChannel
