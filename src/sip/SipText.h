#pragma once

#include <string>

namespace Tarvent::VirtualChannel {

// Lower-cases every byte with the C library's tolower (current C locale).
// Safe for any byte value. Pure function: any thread.
std::string toLower(const std::string& text);

}  // namespace Tarvent::VirtualChannel
