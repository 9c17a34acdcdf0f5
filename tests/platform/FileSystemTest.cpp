#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "logging/TempDir.h"
#include "platform/FileSystem.h"

namespace Tarvent::VirtualChannel {
namespace {

using TestSupport::TempDir;

TEST(FileSystem, CreateDirectoryAcceptsAnythingThatExistsByThatName)
{
    TempDir dir;
    EXPECT_TRUE(createDirectory(dir.file("log")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("log")));
    EXPECT_TRUE(createDirectory(dir.file("log")));
    EXPECT_FALSE(createDirectory(dir.file("missing/log")));
    TestSupport::writeFile(dir.file("plain"), "");
    EXPECT_TRUE(createDirectory(dir.file("plain")));
    EXPECT_FALSE(std::filesystem::is_directory(dir.file("plain")));
}

TEST(FileSystem, ListFilesSkipsFoldersAndMapsErrors)
{
    TempDir dir;
    TestSupport::writeFile(dir.file("a.log"), "");
    TestSupport::writeFile(dir.file("b.txt"), "");
    std::filesystem::create_directory(dir.file("sub.log"));
    std::filesystem::create_directory_symlink(dir.file("sub.log"), dir.file("link.log"));

    std::vector<std::string> names;
    ASSERT_EQ(listFiles(dir.path(), names), ListResult::Ok);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.log", "b.txt"}));

    EXPECT_EQ(listFiles(dir.file("missing"), names), ListResult::NotFound);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(listFiles(dir.file("a.log"), names), ListResult::OpenFailed);
}

TEST(FileSystem, ExecutableFolderHoldsThisTest)
{
    const std::string folder = executableFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), '/');
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_TRUE(std::filesystem::exists(folder + "/filesystem_tests"));
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
