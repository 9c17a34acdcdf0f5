#include <gtest/gtest.h>

#include <string>

#include "util/PathUtil.h"

namespace Tarvent::VirtualChannel {
namespace {

TEST(JoinPath, AddsOneSeparatorWhereNeeded)
{
    EXPECT_EQ(joinPath("/var/ovra", "log"), "/var/ovra/log");
    EXPECT_EQ(joinPath("/var/ovra/", "log"), "/var/ovra/log");
    EXPECT_EQ(joinPath("", "log"), "log");
    EXPECT_EQ(joinPath("/var/ovra", "/log"), "/var/ovra//log");
    EXPECT_EQ(joinPath("/var/ovra", ""), "/var/ovra/");
    EXPECT_EQ(joinPath("dir", "a\\b"), "dir/a\\b");
}

TEST(JoinPath, OverloadsAgree)
{
    const std::string folder = "/var/ovra";
    EXPECT_EQ(joinPath(folder, "log"), "/var/ovra/log");
    EXPECT_EQ(joinPath(folder, std::string("log")), "/var/ovra/log");
    EXPECT_EQ(joinPath(std::string(), std::string("log")), "log");
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
