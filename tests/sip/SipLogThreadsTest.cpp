// The SIP stack's libraries log on every thread they run (the core thread,
// the media tickers, the sound server's client): the engine must take their
// lines from many threads at once, for as long as the process runs.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <bctoolbox/logging.h>
#include <linphone++/linphone.hh>

#include "sip/SipStack.h"
#include "support/CapturingAppender.h"

namespace Tarvent::VirtualChannel {
namespace {

namespace fs = std::filesystem;
using TestSupport::LogCapture;

constexpr int kThreads = 6;

// Runs `work` (given the thread's number) on kThreads threads released together.
void onManyThreadsAtOnce(const std::function<void(int)>& work)
{
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&go, &work, t] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            work(t);
        });
    }
    go = true;
    for (auto& thread : threads) {
        thread.join();
    }
}

class SipLogThreadsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(folder);
        stack.setWorkingDirectory(folder.string());
    }
    void TearDown() override
    {
        stack.stop();
        fs::remove_all(folder);
    }

    const fs::path folder = fs::temp_directory_path() / ("ovra-siplog-" + std::to_string(::getpid()));
    SipStack& stack = SipStack::getInstance();
};

TEST_F(SipLogThreadsTest, LinesFromManyLibraryThreadsAtOnceAllReachTheLogWhileTheStackRuns)
{
    LogCapture capture;
    stack.start(false, "ovra-test", false, true);
    constexpr int kLines = 20000;
    onManyThreadsAtOnce([](int t) {
        for (int i = 0; i < kLines; ++i) {
            bctbx_log(t % 2 == 0 ? "mediastreamer" : "ortp", BCTBX_LOG_MESSAGE, "line %d of thread %d", i, t);
        }
    });
    stack.stop();
    bctbx_log("mediastreamer", BCTBX_LOG_MESSAGE, "a line after the stop");

    const std::vector<std::string> lines = capture.messages();
    const auto taken = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find(" of thread ") != std::string::npos;
    });
    EXPECT_EQ(taken, kThreads * kLines);
    EXPECT_FALSE(capture.contains("a line after the stop"));
}

// The factory's own operations belong to the core thread; finding it does not.
TEST_F(SipLogThreadsTest, AnyThreadFindsTheLibrarysFactory)
{
    stack.start(false, "ovra-test", false, false);
    std::atomic<int> found{0};
    onManyThreadsAtOnce([&found](int) {
        for (int i = 0; i < 20000; ++i) {
            if (linphone::Factory::get()) {
                ++found;
            }
        }
    });
    EXPECT_EQ(found.load(), kThreads * 20000);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
