#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "logging/LogRecord.h"
#include "logging/Logger.h"
#include "logging/PatternLayout.h"
#include "support/CapturingAppender.h"

namespace Tarvent::VirtualChannel {
namespace {

class ThrowingAppender : public AppenderBase {
public:
    explicit ThrowingAppender(int* calls) : calls_(calls) {}
    void append(const LogRecord&) override
    {
        if ((*calls_)++ == 0) {
            throw std::runtime_error("disk full");
        }
    }

private:
    int* calls_;
};

TEST(Logger, CutsTextAt2047CharactersAndKeepsShorterTextWhole)
{
    TestSupport::LogCapture capture;
    const std::string exact(2047, 'x');
    logInfo("%s", exact.c_str());
    const std::string longer(5000, 'y');
    logInfo("%s", longer.c_str());

    const auto messages = capture.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], exact);
    EXPECT_EQ(messages[1], std::string(2047, 'y'));
}

TEST(Logger, LogsWithoutAppendersAndFormatsLevels)
{
    logError("nobody hears this: %d", 1);  // must simply return

    TestSupport::LogCapture capture;
    logDebug("d");
    logInfo("i");
    logWarning("w");
    logError("e %d", 7);
    logFatal("f");
    std::lock_guard<std::mutex> lock(capture.store().mutex);
    const auto& records = capture.store().records;
    ASSERT_EQ(records.size(), 5u);
    for (int level = 0; level < 5; ++level) {
        EXPECT_EQ(records[level].level, level);
    }
    EXPECT_EQ(records[3].message, "e 7");
    EXPECT_NE(records[0].threadId, 0u);
    EXPECT_GE(records[0].localTime.wYear, 2024);
}

TEST(Logger, ThrowingAppenderStopsDeliveryOfThatRecordOnly)
{
    int calls = 0;
    auto store = std::make_shared<TestSupport::CapturingAppender::Store>();
    Logger::instance().addAppender(std::make_unique<ThrowingAppender>(&calls));
    Logger::instance().addAppender(std::make_unique<TestSupport::CapturingAppender>(store));

    logInfo("first");
    logInfo("second");
    Logger::instance().removeAllAppenders();

    EXPECT_EQ(calls, 2);
    EXPECT_EQ(store->messages(), std::vector<std::string>{"second"});
}

TEST(Logger, ConcurrentLoggersDeliverWholeRecords)
{
    TestSupport::LogCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i) {
                logInfo("thread=%d; line=%d", t, i);
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    const auto messages = capture.messages();
    ASSERT_EQ(messages.size(), 2000u);
    for (const auto& m : messages) {
        EXPECT_EQ(m.rfind("thread=", 0), 0u) << m;
    }
}

TEST(PatternLayout, WritesTimestampThreadLevelAndMessage)
{
    LogRecord record;
    record.level = Warning;
    record.message = "hello";
    record.threadId = 6700;
    record.localTime.wYear = 2023;
    record.localTime.wMonth = 2;
    record.localTime.wDay = 1;
    record.localTime.wDayOfWeek = 3;
    record.localTime.wHour = 9;
    record.localTime.wMinute = 4;
    record.localTime.wSecond = 3;
    record.localTime.wMilliseconds = 5;

    PatternLayout layout;
    EXPECT_EQ(layout.format(record), "2023-02-01 09:04:03.005 1a2c W hello\n");

    record.threadId = 10;
    record.level = Fatal;
    record.message = "ends in a break\n";
    EXPECT_EQ(layout.format(record), "2023-02-01 09:04:03.005 a F ends in a break\n\n");
}

TEST(PatternLayout, LevelLetters)
{
    EXPECT_EQ(logLevelLetter(0), 'D');
    EXPECT_EQ(logLevelLetter(1), 'I');
    EXPECT_EQ(logLevelLetter(2), 'W');
    EXPECT_EQ(logLevelLetter(3), 'E');
    EXPECT_EQ(logLevelLetter(4), 'F');
    EXPECT_EQ(logLevelLetter(6), 'G');
    EXPECT_EQ(logLevelLetter(9), '?');
    EXPECT_EQ(logLevelLetter(-1), '?');
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
