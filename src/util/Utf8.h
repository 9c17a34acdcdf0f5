#pragma once

#include <string>

namespace Tarvent::VirtualChannel {

// The text in UTF-8. Text that already is valid UTF-8 comes back unchanged;
// anything else is read byte by byte as the ANSI code page (Windows-1252), as
// device names from older drivers are. A null text gives an empty one. The
// result is always valid UTF-8. Pure; any thread.
std::string toUtf8(const char* text);

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool isValidUtf8(const std::string& text);

}  // namespace Tarvent::VirtualChannel
