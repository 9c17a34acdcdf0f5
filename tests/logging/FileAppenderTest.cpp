#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "logging/FileAppender.h"
#include "logging/LogRecord.h"
#include "logging/LoggerException.h"
#include "logging/TempDir.h"

namespace Tarvent::VirtualChannel {
namespace {

using TestSupport::readFile;
using TestSupport::TempDir;
using TestSupport::writeFile;

FileAppenderConfig makeConfig(const std::string& directory, std::int64_t maxFileSize = 10485760,
                              std::int32_t maxFileCount = 2)
{
    FileAppenderConfig config;
    config.directory = directory;
    config.fileName = "ovra";
    config.maxFileSize = maxFileSize;
    config.maxFileCount = maxFileCount;
    return config;
}

// Lines of a known size: without a layout the appender writes the message and '\n'.
void writeRaw(FileAppender& appender, const std::string& message)
{
    LogRecord record;
    record.message = message;
    appender.append(record);
}

std::unique_ptr<FileAppender> makeRawAppender(const FileAppenderConfig& config)
{
    auto appender = std::make_unique<FileAppender>(config);
    appender->setLayout(nullptr);
    return appender;
}

TEST(FileAppender, FirstStartCreatesFolderAndEmptyLiveFile)
{
    TempDir dir;
    const std::string logDir = dir.file("log");
    FileAppender appender(makeConfig(logDir));

    EXPECT_TRUE(std::filesystem::is_directory(logDir));
    EXPECT_TRUE(std::filesystem::exists(logDir + "/ovra.log"));
    EXPECT_EQ(std::filesystem::file_size(logDir + "/ovra.log"), 0u);
    EXPECT_EQ(appender.fileCount(), 1);
    EXPECT_EQ(appender.readLogs(2097152), "");
}

TEST(FileAppender, ConstructionFailuresThrowLoggerException)
{
    TempDir dir;
    try {
        FileAppender appender(makeConfig(dir.file("missing/log")));
        FAIL() << "no exception";
    } catch (const LoggerException& e) {
        EXPECT_STREQ(e.what(), "Failed to create directory.");
    }

    // A plain file where the folder belongs exists, so it is not created,
    // but it cannot be listed as a folder.
    writeFile(dir.file("plain"), "not a folder");
    try {
        FileAppender appender(makeConfig(dir.file("plain")));
        FAIL() << "no exception";
    } catch (const LoggerException& e) {
        EXPECT_STREQ(e.what(), "Failed to open logging directory.");
    }
    EXPECT_EQ(readFile(dir.file("plain")), "not a folder");
}

TEST(FileAppender, ExistingFolderIsCountedAndAppendedTo)
{
    TempDir dir;
    writeFile(dir.file("ovra.log"), "old line\n");
    writeFile(dir.file("ovra-01.log"), "older line\n");
    FileAppender appender(makeConfig(dir.path()));
    EXPECT_EQ(appender.fileCount(), 2);

    LogRecord record;
    record.level = Warning;
    record.message = "new line";
    record.threadId = 0x1a2c;
    record.localTime.wYear = 2023;
    record.localTime.wMonth = 2;
    record.localTime.wDay = 1;
    appender.append(record);

    // Unix line ends: the line feed only.
    EXPECT_EQ(readFile(dir.file("ovra.log")), "old line\n2023-02-01 00:00:00.000 1a2c W new line\n");
}

TEST(FileAppender, CountsEveryMatchingFileButNoFolders)
{
    TempDir dir;
    for (const char* name : {"ovra.log", "ovra-01.log", "ovra-05.log", "ovra_old.log", "ovra.log.1", "ovra_log.zip",
                             "ovra.1.log", "other.log"}) {
        writeFile(dir.file(name), "x\n");
    }
    std::filesystem::create_directory(dir.file("ovra-02.log"));
    FileAppender appender(makeConfig(dir.path()));
    EXPECT_EQ(appender.fileCount(), 4);
}

TEST(FileAppender, IsLogFileFollowsExtensionAndPrefix)
{
    TempDir dir;
    const FileAppender appender(makeConfig(dir.path()));
    for (const char* name : {"ovra.log", "ovra-01.log", "ovra-07.log", "ovra_old.log"}) {
        EXPECT_TRUE(appender.isLogFile(name)) << name;
    }
    for (const char* name : {"ovra.log.1", "ovra_log.zip", "ovra.1.log", "other.log", "OVRA.log", "ovra.LOG", "ovra"}) {
        EXPECT_FALSE(appender.isLogFile(name)) << name;
    }
    EXPECT_EQ(fileExtension("dir.d/ovra.1.log"), ".1.log");
    EXPECT_EQ(fileExtension("noext"), "");
}

TEST(FileAppender, RotatesAfterTheLineThatReachesTheLimit)
{
    TempDir dir;
    auto appender = makeRawAppender(makeConfig(dir.path(), 100, 2));
    const std::string line(39, 'a');  // 40 bytes with its line feed

    writeRaw(*appender, line);
    writeRaw(*appender, line);
    EXPECT_FALSE(std::filesystem::exists(dir.file("ovra-01.log")));
    writeRaw(*appender, line);  // 120 bytes: stays whole in the old file
    EXPECT_EQ(std::filesystem::file_size(dir.file("ovra-01.log")), 120u);
    EXPECT_EQ(std::filesystem::file_size(dir.file("ovra.log")), 0u);
    EXPECT_EQ(appender->fileCount(), 2);

    const std::string second(39, 'b');
    for (int i = 0; i < 3; ++i) {
        writeRaw(*appender, second);
    }
    // The first file's lines are gone; the limit of two files holds.
    EXPECT_EQ(readFile(dir.file("ovra-01.log")), second + "\n" + second + "\n" + second + "\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("ovra-02.log")));
    EXPECT_EQ(appender->fileCount(), 2);

    writeRaw(*appender, "next");
    EXPECT_EQ(readFile(dir.file("ovra.log")), "next\n");
}

TEST(FileAppender, SingleFileRotationStartsTheLiveFileAgain)
{
    TempDir dir;
    auto appender = makeRawAppender(makeConfig(dir.path(), 10, 1));
    writeRaw(*appender, "0123456789");
    EXPECT_EQ(std::filesystem::file_size(dir.file("ovra.log")), 0u);
    EXPECT_FALSE(std::filesystem::exists(dir.file("ovra-01.log")));
    EXPECT_EQ(appender->fileCount(), 1);
    writeRaw(*appender, "short");
    EXPECT_EQ(readFile(dir.file("ovra.log")), "short\n");
}

TEST(FileAppender, ExtraFilesBeyondTheLimitMoveUpOnRotation)
{
    TempDir dir;
    writeFile(dir.file("ovra-01.log"), "one\n");
    writeFile(dir.file("ovra-02.log"), "two\n");
    auto appender = makeRawAppender(makeConfig(dir.path(), 5, 2));
    ASSERT_EQ(appender->fileCount(), 3);

    writeRaw(*appender, "live");
    EXPECT_EQ(readFile(dir.file("ovra-01.log")), "live\n");
    EXPECT_EQ(readFile(dir.file("ovra-03.log")), "two\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("ovra-02.log")));
    EXPECT_EQ(appender->fileCount(), 3);
}

TEST(FileAppender, AMultiLineRecordThatCrossesTheLimitStaysWholeInTheRotatedFile)
{
    TempDir dir;
    auto appender = makeRawAppender(makeConfig(dir.path(), 100, 2));
    const std::string first(59, 'a');                                      // 60 bytes
    // 67 bytes; its first line takes the file past the limit.
    const std::string record = std::string(45, 'b') + "\n" + std::string(20, 'c');
    writeRaw(*appender, first);
    writeRaw(*appender, record);
    EXPECT_EQ(readFile(dir.file("ovra-01.log")), first + "\n" + record + "\n");
    writeRaw(*appender, "next");
    EXPECT_EQ(readFile(dir.file("ovra.log")), "next\n");
}

TEST(FileAppender, ALiveFileThatCannotBeOpenedDropsEveryLineQuietly)
{
    TempDir dir;
    // A folder where the live file belongs: the folder is fine, the file is not.
    std::filesystem::create_directory(dir.file("ovra.log"));
    auto appender = makeRawAppender(makeConfig(dir.path(), 10, 2));
    EXPECT_EQ(appender->fileCount(), 0);
    for (int i = 0; i < 5; ++i) {
        writeRaw(*appender, "a line longer than the limit");
    }
    EXPECT_EQ(appender->readLogs(2097152), "");
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("ovra.log")));
    // No rotation happened: nothing was written to count.
    EXPECT_FALSE(std::filesystem::exists(dir.file("ovra-01.log")));
    EXPECT_EQ(appender->fileCount(), 0);
}

class ReadLogs : public ::testing::Test {
protected:
    void SetUp() override
    {
        writeFile(dir.file("ovra-01.log"), "1\n2\n3\n");
        writeFile(dir.file("ovra.log"), "aaaa\nbbbb\ncccc\n");
        appender = std::make_unique<FileAppender>(makeConfig(dir.path()));
    }

    TempDir dir;
    std::unique_ptr<FileAppender> appender;
};

TEST_F(ReadLogs, ZeroBudgetGivesNothing)
{
    EXPECT_EQ(appender->readLogs(0), "");
}

TEST_F(ReadLogs, LargeBudgetGivesAllFilesOldestFirst)
{
    EXPECT_EQ(appender->readLogs(2097152), "1\n2\n3\naaaa\nbbbb\ncccc\n");
    EXPECT_EQ(appender->readLogs(21), "1\n2\n3\naaaa\nbbbb\ncccc\n");
}

TEST_F(ReadLogs, CutFilesBeginAfterTheirFirstLineFeed)
{
    // Live file: the last 9 bytes are "bbb\ncccc\n"; "bbb\n" is dropped and not
    // charged, so the older file is read with the 4 bytes left: "2\n3\n" -> "3\n".
    EXPECT_EQ(appender->readLogs(9), "3\ncccc\n");
    // A window that starts right at a line start still drops its first line.
    EXPECT_EQ(appender->readLogs(10), "2\n3\ncccc\n");
    // The live file fits whole; the one byte left ("\n") holds no whole line.
    EXPECT_EQ(appender->readLogs(16), "aaaa\nbbbb\ncccc\n");
}

TEST_F(ReadLogs, EmptyLiveFilePassesTheBudgetOn)
{
    writeFile(dir.file("ovra.log"), "");
    EXPECT_EQ(appender->readLogs(4), "3\n");
}

TEST(FileAppender, ReadLogsSkipsGapsInTheNumbering)
{
    TempDir dir;
    writeFile(dir.file("ovra.log"), "newest\n");
    writeFile(dir.file("ovra-02.log"), "oldest\n");
    writeFile(dir.file("ovra-05.log"), "stray\n");
    FileAppender appender(makeConfig(dir.path()));
    ASSERT_EQ(appender.fileCount(), 3);
    EXPECT_EQ(appender.readLogs(2097152), "oldest\nnewest\n");
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
