#include "util/LogText.h"

#include <algorithm>

namespace Tarvent::VirtualChannel {

namespace {

bool needsEscape(unsigned char c)
{
    return c < 0x20u || c == 0x7Fu || c == '\\';
}

}  // namespace

std::string logText(const std::string& text)
{
    if (std::none_of(text.begin(), text.end(), [](char c) { return needsEscape(static_cast<unsigned char>(c)); })) {
        return text;
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() + 16);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (!needsEscape(c)) {
            out += ch;
            continue;
        }
        out += '\\';
        switch (c) {
        case '\\':
            out += '\\';
            break;
        case '\n':
            out += 'n';
            break;
        case '\r':
            out += 'r';
            break;
        case '\t':
            out += 't';
            break;
        default:
            out += 'x';
            out += kHex[c >> 4];
            out += kHex[c & 0x0Fu];
            break;
        }
    }
    return out;
}

}  // namespace Tarvent::VirtualChannel
