#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logging/FileAppender.h"
#include "logging/LogRecord.h"
#include "logging/TempDir.h"

namespace Tarvent::VirtualChannel {
namespace {

using TestSupport::readFile;
using TestSupport::TempDir;

std::unique_ptr<FileAppender> makeWriteBehind(const std::string& directory, std::int64_t maxFileSize = 10485760)
{
    FileAppenderConfig config;
    config.directory = directory;
    config.fileName = "ovra";
    config.maxFileSize = maxFileSize;
    config.maxFileCount = 2;
    config.writeBehind = true;
    auto appender = std::make_unique<FileAppender>(config);
    appender->setLayout(nullptr);  // lines are the message and '\n'
    return appender;
}

void write(FileAppender& appender, const std::string& message, std::int32_t level = Info)
{
    LogRecord record;
    record.level = level;
    record.message = message;
    appender.append(record);
}

TEST(FileAppenderWriteBehind, QueuedLinesReachTheFileInOrderAndReadLogsSeesThemAll)
{
    TempDir dir;
    auto appender = makeWriteBehind(dir.path());
    std::string expected;
    for (int i = 0; i < 200; ++i) {
        write(*appender, "line " + std::to_string(i));
        expected += "line " + std::to_string(i) + "\n";
    }
    EXPECT_EQ(appender->readLogs(1 << 20), expected);

    write(*appender, "late");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (readFile(dir.file("ovra.log")) != expected + "late\n" && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(readFile(dir.file("ovra.log")), expected + "late\n");
}

TEST(FileAppenderWriteBehind, AnErrorIsWrittenAtOnceAfterWhatWasQueued)
{
    TempDir dir;
    auto appender = makeWriteBehind(dir.path());
    write(*appender, "before");
    write(*appender, "failure", Error);
    // No wait: the error line and everything before it are in the file already.
    EXPECT_EQ(readFile(dir.file("ovra.log")), "before\nfailure\n");
}

TEST(FileAppenderWriteBehind, RotationKeepsTheLineThatReachesTheLimit)
{
    TempDir dir;
    {
        auto appender = makeWriteBehind(dir.path(), 100);
        const std::string line(39, 'a');  // 40 bytes with its line feed
        for (int i = 0; i < 4; ++i) {
            write(*appender, line);
        }
    }  // the destructor writes what is queued
    EXPECT_EQ(std::filesystem::file_size(dir.file("ovra-01.log")), 120u);
    EXPECT_EQ(readFile(dir.file("ovra.log")), std::string(39, 'a') + "\n");
}

TEST(FileAppenderWriteBehind, AMultiLineRecordThatCrossesTheLimitStaysWholeInTheRotatedFile)
{
    TempDir dir;
    const std::string first(59, 'a');                                      // 60 bytes
    // 67 bytes; its first line takes the file past the limit.
    const std::string record = std::string(45, 'b') + "\n" + std::string(20, 'c');
    {
        auto appender = makeWriteBehind(dir.path(), 100);
        write(*appender, first);
        write(*appender, record);
        write(*appender, "next");
    }  // the destructor writes what is queued
    EXPECT_EQ(readFile(dir.file("ovra-01.log")), first + "\n" + record + "\n");
    EXPECT_EQ(readFile(dir.file("ovra.log")), "next\n");
}

TEST(FileAppenderWriteBehind, EveryRotatedFileBeginsAndEndsWithAWholeRecord)
{
    TempDir dir;
    FileAppenderConfig config;
    config.directory = dir.path();
    config.fileName = "ovra";
    config.maxFileSize = 100;
    config.maxFileCount = 50;
    config.writeBehind = true;
    std::string all;
    {
        FileAppender appender(config);
        appender.setLayout(nullptr);
        // Queued faster than the writer takes them, so that runs of several
        // records cross the limit.
        for (int i = 0; i < 40; ++i) {
            const std::string n = std::to_string(i);
            const std::string record = "record " + n + " begins\n  second line of " + n + "\n  end of " + n;
            write(appender, record);
            all += record + "\n";
        }
    }
    std::string joined;
    for (int index = 49; index >= 0; --index) {
        std::string name = "ovra.log";
        if (index > 0) {
            name = std::string("ovra-") + (index < 10 ? "0" : "") + std::to_string(index) + ".log";
        }
        if (!std::filesystem::exists(dir.file(name))) {
            continue;
        }
        const std::string text = readFile(dir.file(name));
        if (text.empty()) {
            continue;
        }
        EXPECT_EQ(text.rfind("record ", 0), 0u) << name << ": " << text;
        const auto lastLine = text.rfind('\n', text.size() - 2);
        EXPECT_EQ(text.compare(lastLine + 1, 9, "  end of "), 0) << name << ": " << text;
        joined += text;
    }
    EXPECT_EQ(joined, all);
}

TEST(FileAppenderWriteBehind, ALiveFileThatCannotBeOpenedDropsEveryLineQuietly)
{
    TempDir dir;
    std::filesystem::create_directory(dir.file("ovra.log"));
    auto appender = makeWriteBehind(dir.path(), 10);
    for (int i = 0; i < 5; ++i) {
        write(*appender, "a line longer than the limit");
    }
    write(*appender, "an error", Error);
    EXPECT_EQ(appender->readLogs(2097152), "");
    EXPECT_EQ(appender->fileCount(), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("ovra-01.log")));
}

TEST(FileAppenderWriteBehind, ManyThreadsLoseNoLine)
{
    TempDir dir;
    auto appender = makeWriteBehind(dir.path());
    std::mutex loggerLock;  // the Logger serialises appends in the engine
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                const std::lock_guard<std::mutex> lock(loggerLock);
                write(*appender, std::to_string(t) + ":" + std::to_string(i));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const std::string all = appender->readLogs(1 << 20);
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 2000);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
