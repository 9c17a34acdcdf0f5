#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include "logging/TempDir.h"
#include "logging/ZipArchive.h"
#include "logging/ZipReader.h"

namespace Tarvent::VirtualChannel {
namespace {

using TestSupport::TempDir;

std::string failureText(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no failure";
}

TEST(ZipArchive, WritesEntriesWithUtf8Names)
{
    TempDir dir;
    const std::string path = dir.file("a.zip");
    const std::string text = "line\n";
    {
        ZipArchive zip;
        zip.create(path.c_str());
        zip.addFile(text.data(), text.size(), "\xC3\xA9t\xC3\xA9.log");
        zip.close();
    }
    const auto entries = TestSupport::readZip(path);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "\xC3\xA9t\xC3\xA9.log");
    EXPECT_EQ(entries[0].data, text);
    // Bit 11: the name is UTF-8.
    EXPECT_NE(TestSupport::firstEntryFlags(TestSupport::readFile(path)) & 0x800, 0);
}

TEST(ZipArchive, MisuseAndFailuresAreReported)
{
    TempDir dir;
    ZipArchive zip;
    EXPECT_EQ(failureText([&] { zip.addFile("x", 1, "x"); }),
              "Error adding file to archive: Archive must be created first.");
    EXPECT_EQ(failureText([&] { zip.close(); }), "Error closing archive: Archive must be opened first.");

    const std::string path = dir.file("a.zip");
    zip.create(path.c_str());
    EXPECT_EQ(failureText([&] { zip.create(path.c_str()); }),
              "Error creating zip archive: Current archive must be closed first.");
    zip.addFile("x", 1, "x");
    EXPECT_EQ(failureText([&] { zip.addFile("y", 1, "x"); }).rfind("Error adding file to archive. Error=\"", 0), 0u);

    ZipArchive other;
    const std::string unreachable = dir.file("plain/a.zip");
    TestSupport::writeFile(dir.file("plain"), "");
    EXPECT_EQ(failureText([&] { other.create(unreachable.c_str()); }).rfind("Error creating zip archive \"" + unreachable + "\": error=", 0), 0u);
}

TEST(ZipArchive, FailedCloseWritesNoFile)
{
    TempDir dir;
    const std::string path = dir.file("gone/a.zip");
    {
        ZipArchive zip;
        zip.create(path.c_str());
        zip.addFile("x", 1, "x");
        EXPECT_EQ(failureText([&] { zip.close(); }).rfind("Error closing archive. Error=\"", 0), 0u);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
