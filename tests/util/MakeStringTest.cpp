#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "util/MakeString.h"

namespace Tarvent::VirtualChannel {
namespace {

TEST(MakeString, JoinsTextsAndIntegers)
{
    EXPECT_EQ(makeString("alone"), "alone");
    EXPECT_EQ(makeString("a", "", std::string("b")), "ab");
    EXPECT_EQ(makeString("record", 12, ".wav"), "record12.wav");
    EXPECT_EQ(makeString("Index out of range: ", -1), "Index out of range: -1");
}

TEST(MakeString, WritesIntegerEdgesInFull)
{
    EXPECT_EQ(makeString(0), "0");
    EXPECT_EQ(makeString(-1), "-1");
    EXPECT_EQ(makeString(INT_MIN), "-2147483648");
    EXPECT_EQ(makeString(INT_MAX), "2147483647");
    EXPECT_EQ(makeString(UINT_MAX), "4294967295");
    EXPECT_EQ(makeString(std::uint32_t{2147483648u}), "2147483648");
    EXPECT_EQ(makeString(INT64_MIN), "-9223372036854775808");
    EXPECT_EQ(makeString(UINT64_MAX), "18446744073709551615");
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
