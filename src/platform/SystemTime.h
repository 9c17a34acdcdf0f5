#pragma once

#include <cstdint>

namespace Tarvent::VirtualChannel {

// Local wall-clock time broken into calendar fields, laid out like the
// Windows SYSTEMTIME record that the log line format was designed around.
struct SystemTime {
    std::uint16_t wYear = 0;
    std::uint16_t wMonth = 0;
    std::uint16_t wDayOfWeek = 0;
    std::uint16_t wDay = 0;
    std::uint16_t wHour = 0;
    std::uint16_t wMinute = 0;
    std::uint16_t wSecond = 0;
    std::uint16_t wMilliseconds = 0;
};

// The local time now, to the millisecond. Any thread.
SystemTime getLocalTime();

// The same, async-signal-safe, for a crash handler: the clock with the
// offset from UTC that the last getLocalTime() found (UTC before the first),
// as the time zone's own rules are out of reach there.
SystemTime getLocalTimeInCrash() noexcept;

}  // namespace Tarvent::VirtualChannel
