#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "logging/TempDir.h"
#include "platform/AtomicFile.h"
#include "platform/DirectoryTree.h"

namespace Tarvent::VirtualChannel {
namespace {

using TestSupport::readFile;
using TestSupport::TempDir;
using TestSupport::writeFile;

std::vector<std::string> entries(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

TEST(AtomicFile, ReplaceFileWritesAndOverwritesWithoutLeftovers)
{
    TempDir dir;
    const std::string path = dir.file("Port");
    ASSERT_EQ(replaceFile(path, "50123"), 0);
    EXPECT_EQ(readFile(path), "50123");
    ASSERT_EQ(replaceFile(path, "8"), 0);
    EXPECT_EQ(readFile(path), "8");
    EXPECT_EQ(std::filesystem::status(path).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                  std::filesystem::perms::group_read | std::filesystem::perms::others_read);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"Port"});
}

TEST(AtomicFile, FailuresLeaveTheTargetAndNoTemporaryFile)
{
    TempDir dir;
    EXPECT_EQ(replaceFile(dir.file("missing/Port"), "1"), ENOENT);

    // A folder in the target's place: the rename is refused after the
    // temporary file was written, which must be cleaned up.
    std::filesystem::create_directory(dir.file("Port"));
    EXPECT_EQ(replaceFile(dir.file("Port"), "1"), EISDIR);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"Port"});
}

TEST(AtomicFile, CreateFileExclusiveRefusesAnExistingFile)
{
    TempDir dir;
    const std::string path = dir.file("unit");
    ASSERT_EQ(createFileExclusive(path, "first"), 0);
    EXPECT_EQ(createFileExclusive(path, "second"), EEXIST);
    EXPECT_EQ(readFile(path), "first");
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"unit"});
}

TEST(DirectoryTree, CreatesEveryMissingFolderAndReportsWhatIsInTheWay)
{
    TempDir dir;
    EXPECT_EQ(createDirectoryTree(dir.file("a/b//c/")), 0);
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("a/b/c")));
    EXPECT_EQ(createDirectoryTree(dir.file("a/b/c")), 0);
    EXPECT_EQ(checkWritableDirectory(dir.file("a/b/c")), 0);

    writeFile(dir.file("plain"), "");
    EXPECT_EQ(createDirectoryTree(dir.file("plain")), ENOTDIR);
    EXPECT_EQ(createDirectoryTree(dir.file("plain/below")), ENOTDIR);
    EXPECT_EQ(checkWritableDirectory(dir.file("plain")), ENOTDIR);
    EXPECT_EQ(checkWritableDirectory(dir.file("missing")), ENOENT);
    EXPECT_EQ(createDirectoryTree(""), ENOENT);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
