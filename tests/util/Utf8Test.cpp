#include <gtest/gtest.h>

#include <string>

#include "util/Utf8.h"

namespace Tarvent::VirtualChannel {
namespace {

TEST(ToUtf8, KeepsAsciiAndUtf8Unchanged)
{
    EXPECT_EQ(toUtf8(""), "");
    EXPECT_EQ(toUtf8(nullptr), "");
    EXPECT_EQ(toUtf8("Speakers (Realtek Audio)"), "Speakers (Realtek Audio)");
    EXPECT_EQ(toUtf8("Mikrofon \xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xA7"), "Mikrofon \xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xA7");
}

TEST(ToUtf8, ReadsOtherTextAsWindows1252)
{
    EXPECT_EQ(toUtf8("\xE9"), "\xC3\xA9");
    EXPECT_EQ(toUtf8("\x80"), "\xE2\x82\xAC");
    EXPECT_EQ(toUtf8("Caf\xE9 \x93x\x94"), "Caf\xC3\xA9 \xE2\x80\x9Cx\xE2\x80\x9D");
    // Bytes the code page leaves undefined keep their value as code points.
    EXPECT_EQ(toUtf8("\x81"), "\xC2\x81");
    EXPECT_EQ(toUtf8("a\x8D\x8F\x90\x9D" "b"), "a\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D" "b");
    // Invalid UTF-8 (a lead byte without its continuation, an overlong form).
    EXPECT_EQ(toUtf8("\xC3"), "\xC3\x83");
    EXPECT_EQ(toUtf8("\xC0\xAF"), "\xC3\x80\xC2\xAF");
}

TEST(ToUtf8, ResultIsAlwaysValid)
{
    std::string everyByte;
    for (int b = 1; b < 256; ++b) {
        everyByte += static_cast<char>(b);
    }
    const std::string converted = toUtf8(everyByte.c_str());
    EXPECT_TRUE(isValidUtf8(converted));
    EXPECT_FALSE(isValidUtf8(everyByte));
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));  // a surrogate
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
