#include <gtest/gtest.h>

#include "util/UrlEscaper.h"

namespace Tarvent::VirtualChannel {
namespace {

TEST(UrlEscaper, EscapesReservedCharacters)
{
    UrlEscaper::initialize();
    EXPECT_EQ(UrlEscaper::escape(""), "");
    EXPECT_EQ(UrlEscaper::escape("a b&c"), "a%20b%26c");
    EXPECT_EQ(UrlEscaper::escape("abc-123_x.y~z"), "abc-123_x.y~z");
    EXPECT_EQ(UrlEscaper::escape("1234@host;to-tag=a;from-tag=b"), "1234%40host%3Bto-tag%3Da%3Bfrom-tag%3Db");
    UrlEscaper::cleanup();
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
