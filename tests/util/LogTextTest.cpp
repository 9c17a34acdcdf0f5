#include "util/LogText.h"

#include <gtest/gtest.h>

#include <string>

namespace Tarvent::VirtualChannel {
namespace {

TEST(LogText, ControlCharactersAndBackslashesAreEscapedAndTheRestKept)
{
    EXPECT_EQ(logText("softphone 3.1 (Linux) \xc3\xa9\"quoted\""), "softphone 3.1 (Linux) \xc3\xa9\"quoted\"");
    EXPECT_EQ(logText("agent\r\n2026-01-01 00:00:00.000 1 I forged"), "agent\\r\\n2026-01-01 00:00:00.000 1 I forged");
    EXPECT_EQ(logText("a\tb"), "a\\tb");
    EXPECT_EQ(logText(std::string("nul\0bell\x07" "del\x7f" "esc\x1b", 17)), "nul\\x00bell\\x07del\\x7Fesc\\x1B");
    // A backslash typed by the client can't pass for an escape.
    EXPECT_EQ(logText("C:\\sounds\\n"), "C:\\\\sounds\\\\n");
    EXPECT_EQ(logText(""), "");
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
