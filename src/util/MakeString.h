#pragma once

#include <string>
#include <type_traits>

namespace Tarvent::VirtualChannel {

namespace MakeStringDetail {

inline void appendText(std::string& out, const char* text)
{
    if (text != nullptr) {
        out += text;
    }
}

inline void appendText(std::string& out, const std::string& text)
{
    out += text;
}

// Decimal digits of an integer; the most negative value is written in full
// because the magnitude is taken as an unsigned number.
template <typename Integer, typename = std::enable_if_t<std::is_integral_v<Integer> &&
                                                        !std::is_same_v<Integer, bool> &&
                                                        !std::is_same_v<Integer, char>>>
void appendText(std::string& out, Integer value)
{
    using Unsigned = std::make_unsigned_t<Integer>;
    Unsigned magnitude = static_cast<Unsigned>(value);
    bool negative = false;
    if constexpr (std::is_signed_v<Integer>) {
        if (value < 0) {
            negative = true;
            magnitude = static_cast<Unsigned>(Unsigned{0} - magnitude);
        }
    }
    char digits[24];
    char* end = digits + sizeof digits;
    char* p = end;
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude = static_cast<Unsigned>(magnitude / 10);
    } while (magnitude != 0);
    if (negative) {
        *--p = '-';
    }
    out.append(p, end);
}

}  // namespace MakeStringDetail

// Joins the texts of its arguments (C strings, std::string, integers) with
// nothing between them. Pure; any thread.
template <typename First, typename... Rest>
std::string makeString(const First& first, const Rest&... rest)
{
    std::string out;
    MakeStringDetail::appendText(out, first);
    (MakeStringDetail::appendText(out, rest), ...);
    return out;
}

}  // namespace Tarvent::VirtualChannel
