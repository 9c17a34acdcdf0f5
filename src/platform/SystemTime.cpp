#include "platform/SystemTime.h"

#include <ctime>

namespace Tarvent::VirtualChannel {

SystemTime getLocalTime()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);

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

}  // namespace Tarvent::VirtualChannel
