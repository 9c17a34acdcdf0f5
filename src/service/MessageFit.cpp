#include "service/MessageFit.h"

#include <algorithm>

namespace Tarvent::VirtualChannel {

std::string MessageFit::cutAtLine(const std::string& text, std::size_t maxBytes)
{
    if (text.size() <= maxBytes) {
        return text;
    }
    if (maxBytes == 0) {
        return std::string();
    }
    const auto lastFeed = text.rfind('\n', maxBytes - 1);
    return lastFeed == std::string::npos ? std::string() : text.substr(0, lastFeed + 1);
}

std::string MessageFit::cutAtCharacter(const std::string& text, std::size_t maxBytes)
{
    if (text.size() <= maxBytes) {
        return text;
    }
    std::size_t end = maxBytes;
    // Step back over continuation bytes to the start of the sequence that would be split.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0u) == 0x80u) {
        --end;
    }
    return text.substr(0, end);
}

bool MessageFit::hasControlCharacter(const std::string& text)
{
    return std::any_of(text.begin(), text.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return c < 0x20u || c == 0x7Fu;
    });
}

}  // namespace Tarvent::VirtualChannel
