#pragma once

#include <string>

namespace Tarvent::VirtualChannel {

// Reads every byte of `text` as a Windows-1252 character and returns the text
// in UTF-8. The five bytes the code page leaves undefined (0x81, 0x8D, 0x8F,
// 0x90, 0x9D) become the code points of the same value. Empty when the
// converter is unavailable. Any thread.
std::string ansiToUtf8(const std::string& text);

}  // namespace Tarvent::VirtualChannel
