#pragma once

#include <cstddef>
#include <cstdint>

namespace Tarvent::VirtualChannel {

// One line of text put together inside a crash handler: a fixed buffer on
// the handler's stack, filled without allocation, locks or locale (all
// async-signal-safe). Text beyond the capacity is cut off. One thread.
class CrashText {
public:
    static constexpr std::size_t kCapacity = 512;

    CrashText& add(const char* text) noexcept;
    CrashText& add(char c) noexcept;
    // In decimal, at least `width` digits (zero-padded).
    CrashText& addDecimal(std::uint64_t value, int width = 1) noexcept;
    // "0x" and the lowercase hexadecimal digits.
    CrashText& addHex(std::uintptr_t value) noexcept;
    // Without the "0x".
    CrashText& addHexDigits(std::uint64_t value) noexcept;
    // A line break, in place of the last character when the text is full.
    CrashText& endLine() noexcept;

    const char* data() const noexcept { return buffer_; }
    std::size_t size() const noexcept { return size_; }

private:
    char buffer_[kCapacity];
    std::size_t size_ = 0;
};

}  // namespace Tarvent::VirtualChannel
