#include "platform/CrashText.h"

namespace Tarvent::VirtualChannel {

CrashText& CrashText::add(const char* text) noexcept
{
    for (; text != nullptr && *text != '\0'; ++text) {
        add(*text);
    }
    return *this;
}

CrashText& CrashText::add(char c) noexcept
{
    if (size_ < kCapacity) {
        buffer_[size_++] = c;
    }
    return *this;
}

CrashText& CrashText::addDecimal(std::uint64_t value, int width) noexcept
{
    char digits[20];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int pad = count; pad < width; ++pad) {
        add('0');
    }
    while (count > 0) {
        add(digits[--count]);
    }
    return *this;
}

CrashText& CrashText::addHex(std::uintptr_t value) noexcept
{
    return add("0x").addHexDigits(value);
}

CrashText& CrashText::addHexDigits(std::uint64_t value) noexcept
{
    static const char kDigits[] = "0123456789abcdef";
    char digits[16];
    int count = 0;
    do {
        digits[count++] = kDigits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    while (count > 0) {
        add(digits[--count]);
    }
    return *this;
}

CrashText& CrashText::endLine() noexcept
{
    if (size_ == kCapacity) {
        --size_;
    }
    return add('\n');
}

}  // namespace Tarvent::VirtualChannel
