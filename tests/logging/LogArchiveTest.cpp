#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "logging/FileAppender.h"
#include "logging/IAppServiceCallback.h"
#include "logging/LogArchive.h"
#include "logging/LogRecord.h"
#include "logging/Logger.h"
#include "logging/TempDir.h"
#include "logging/ZipReader.h"
#include "support/CapturingAppender.h"

namespace Tarvent::VirtualChannel {
namespace {

using TestSupport::readFile;
using TestSupport::TempDir;
using TestSupport::writeFile;

class RecordingCallback : public IAppServiceCallback {
public:
    void onLogArchiveReady(std::uint64_t requestId, int partCount) override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        calls_.emplace_back(requestId, partCount);
        changed_.notify_all();
    }

    // The calls so far, once there are at least `count` of them.
    std::vector<std::pair<std::uint64_t, int>> waitForCalls(std::size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(30), [&] { return calls_.size() >= count; });
        return calls_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<std::uint64_t, int>> calls_;
};

FileAppenderConfig makeConfig(const std::string& directory)
{
    FileAppenderConfig config;
    config.directory = directory;
    config.fileName = "ovra";
    config.maxFileSize = 10485760;
    config.maxFileCount = 2;
    return config;
}

void fillLog(FileAppender& appender, int lines)
{
    LogRecord record;
    std::uint32_t noise = 12345;
    for (int i = 0; i < lines; ++i) {
        noise = noise * 1103515245u + 12345u;  // keeps the zip from shrinking to one part
        record.message = "log line " + std::to_string(i) + " value=" + std::to_string(noise);
        appender.append(record);
    }
}

std::string joinParts(LogArchive& archive, int count)
{
    std::string bytes;
    for (int i = 0; i < count; ++i) {
        const auto part = archive.getPart(i);
        EXPECT_EQ(part.size(), i + 1 < count ? 2000u : part.size());
        EXPECT_LE(part.size(), 2000u);
        bytes.append(part.begin(), part.end());
    }
    return bytes;
}

std::string failureText(LogArchive& archive, int index)
{
    try {
        archive.getPart(index);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no failure";
}

class LogArchiveTest : public ::testing::Test {
protected:
    TempDir dir;
    FileAppender appender{makeConfig(dir.path())};
    RecordingCallback callback;
};

TEST_F(LogArchiveTest, ZipHoldsTheNewestLogAndPartsRebuildIt)
{
    // Enough lines that even compressed the zip spans several parts.
    fillLog(appender, 3000);
    LogArchive archive(&callback, dir.path());
    archive.setFileAppender(&appender);
    archive.start(7);
    const auto calls = callback.waitForCalls(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].first, 7u);
    const int count = calls[0].second;
    ASSERT_GT(count, 2);

    const std::string zipPath = dir.file("ovra_log.zip");
    const std::string zipBytes = readFile(zipPath);
    EXPECT_EQ(joinParts(archive, count), zipBytes);
    EXPECT_EQ(count, static_cast<int>((zipBytes.size() + 1999) / 2000));

    const auto entries = TestSupport::readZip(zipPath);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "ovra.log");
    EXPECT_EQ(entries[0].data, appender.readLogs(2097152));
    EXPECT_NE(entries[0].data.find(" D log line 0 "), std::string::npos);

    EXPECT_EQ(failureText(archive, -1), "Index out of range: -1");
    EXPECT_EQ(failureText(archive, count), "Index out of range: " + std::to_string(count));

    archive.clear();
    EXPECT_EQ(failureText(archive, 0), "Index out of range: 0");
    EXPECT_FALSE(std::filesystem::exists(zipPath));
    archive.clear();
}

TEST_F(LogArchiveTest, ALogLargerThanTwoMebibytesGivesItsNewestTwoMebibytesFromALineStart)
{
    // An older file and a live file of 1.5 MiB each: together beyond the cap.
    const std::string folder = dir.file("large");
    std::filesystem::create_directory(folder);
    std::string older;
    for (int i = 0; older.size() < 1572864; ++i) {
        older += "older line " + std::to_string(i) + " padding to make it longer\n";
    }
    std::string live;
    for (int i = 0; live.size() < 1572864; ++i) {
        live += "live line " + std::to_string(i) + "\n";
    }
    writeFile(folder + "/ovra-01.log", older);
    writeFile(folder + "/ovra.log", live);
    FileAppender large(makeConfig(folder));
    ASSERT_EQ(large.fileCount(), 2);

    LogArchive archive(&callback, folder);
    archive.setFileAppender(&large);
    archive.start(1);
    ASSERT_EQ(callback.waitForCalls(1).size(), 1u);
    archive.wait();
    archive.setFileAppender(nullptr);
    const auto entries = TestSupport::readZip(folder + "/ovra_log.zip");
    ASSERT_EQ(entries.size(), 1u);
    const std::string& data = entries[0].data;

    // The whole live file, after the lines of the older file that begin
    // within its last 2 MiB - 1.5 MiB: nothing cut in the middle of a line.
    ASSERT_LE(data.size(), 2097152u);
    ASSERT_GT(data.size(), 2097152u - 100u);
    ASSERT_EQ(data.compare(data.size() - live.size(), live.size(), live), 0);
    const std::string olderPart = data.substr(0, data.size() - live.size());
    ASSERT_FALSE(olderPart.empty());
    EXPECT_EQ(olderPart.rfind("older line ", 0), 0u);
    EXPECT_EQ(older.compare(older.size() - olderPart.size(), olderPart.size(), olderPart), 0);
    EXPECT_EQ(older[older.size() - olderPart.size() - 1], '\n');
}

TEST_F(LogArchiveTest, EmptyLogStillGivesAnEntry)
{
    LogArchive archive(&callback, dir.path());
    archive.setFileAppender(&appender);
    archive.start(1);
    const auto calls = callback.waitForCalls(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].second, 1);  // an almost empty zip fits one part
    const auto entries = TestSupport::readZip(dir.file("ovra_log.zip"));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "ovra.log");
    EXPECT_EQ(entries[0].data, "");
}

TEST_F(LogArchiveTest, WithoutAppenderTheEntryIsEmpty)
{
    fillLog(appender, 10);
    LogArchive archive(&callback, dir.path());
    archive.setFileAppender(nullptr);
    archive.start(1);
    ASSERT_EQ(callback.waitForCalls(1).size(), 1u);
    const auto entries = TestSupport::readZip(dir.file("ovra_log.zip"));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].data, "");
}

TEST_F(LogArchiveTest, SecondStartReplacesZipAndParts)
{
    LogArchive archive(&callback, dir.path());
    archive.setFileAppender(&appender);
    archive.start(1);
    archive.wait();
    const auto first = archive.getPart(0);

    fillLog(appender, 5);
    archive.start(2);
    // Started again right away: the running worker is waited for, and both are answered in order.
    archive.start(3);
    archive.wait();
    const auto calls = callback.waitForCalls(3);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].first, 1u);
    EXPECT_EQ(calls[1].first, 2u);
    EXPECT_EQ(calls[2].first, 3u);

    EXPECT_NE(archive.getPart(0), first);
    const auto entries = TestSupport::readZip(dir.file("ovra_log.zip"));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].data, appender.readLogs(2097152));
    EXPECT_NE(entries[0].data.find("log line 4"), std::string::npos);
}

TEST_F(LogArchiveTest, CarriesTheFullRequestId)
{
    LogArchive archive(&callback, dir.path());
    archive.setFileAppender(&appender);
    const std::uint64_t requestId = (std::uint64_t{1} << 40) + 0x80000005u;
    archive.start(requestId);
    const auto calls = callback.waitForCalls(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].first, requestId);
}

TEST_F(LogArchiveTest, FailureIsLoggedAndAnsweredWithNoParts)
{
    TestSupport::LogCapture capture;
    LogArchive archive(&callback, dir.file("missing"));
    archive.setFileAppender(&appender);
    archive.start(9);
    const auto calls = callback.waitForCalls(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], std::make_pair(std::uint64_t{9}, 0));
    archive.wait();
    EXPECT_TRUE(capture.contains("Failed to create log archive: what=Error closing archive. Error=\""));
    EXPECT_EQ(failureText(archive, 0), "Index out of range: 0");
}

TEST_F(LogArchiveTest, ProgressLinesInOrderAndOnlyTheFirstInsideTheArchive)
{
    TestSupport::LogCapture capture;
    auto owned = std::make_unique<FileAppender>(makeConfig(dir.file("log")));
    FileAppender* const logged = owned.get();
    Logger::instance().addAppender(std::move(owned));
    {
        LogArchive archive(&callback, dir.file("log"));
        archive.setFileAppender(logged);
        archive.start(1);
        archive.wait();
        archive.setFileAppender(nullptr);
    }
    const std::vector<std::string> expected = {"Reading log files", "Creating log file zip archive",
                                               "Splitting log file zip archive", "Finished splitting log file archive"};
    EXPECT_EQ(capture.messages(), expected);

    const auto entries = TestSupport::readZip(dir.file("log/ovra_log.zip"));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_NE(entries[0].data.find(" D Reading log files\n"), std::string::npos);
    EXPECT_EQ(entries[0].data.find("Creating log file zip archive"), std::string::npos);
}

TEST(SplitFile, CutsIntoPartsOf2000Bytes)
{
    TempDir dir;
    const std::string path = dir.file("data");
    std::string content(4001, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i * 7);
    }

    writeFile(path, content.substr(0, 4000));
    auto parts = splitFile(path, 2000);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].size(), 2000u);
    EXPECT_EQ(parts[1].size(), 2000u);
    EXPECT_EQ(std::string(parts[1].begin(), parts[1].end()), content.substr(2000, 2000));

    writeFile(path, content);
    parts = splitFile(path, 2000);
    ASSERT_EQ(parts.size(), 3u);
    ASSERT_EQ(parts[2].size(), 1u);
    EXPECT_EQ(parts[2][0], content[4000]);

    writeFile(path, "");
    EXPECT_TRUE(splitFile(path, 2000).empty());

    EXPECT_THROW(splitFile(dir.file("missing"), 2000), std::runtime_error);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
