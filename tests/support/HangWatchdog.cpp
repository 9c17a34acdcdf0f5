// Linked into every test executable: shortly before ctest's time limit would
// kill a test that hangs, every thread's stack of the test process (and of
// the processes it drives) goes to the test's output, so that a rare hang
// leaves its evidence in the CI log. ctest passes the limit in
// OVRA_TEST_TIMEOUT (seconds, per test case); without it nothing is armed.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "support/ThreadDump.h"

namespace Tarvent::VirtualChannel::TestSupport {
namespace {

using Clock = std::chrono::steady_clock;

// Sleeps while no test runs or the running one is within its time; wakes
// once per test that outlives its share of the limit.
class HangWatchdog : public ::testing::EmptyTestEventListener {
public:
    explicit HangWatchdog(std::chrono::seconds limit) : limit_(limit) {}

    void OnTestStart(const ::testing::TestInfo& test) override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_.joinable()) {
            // The signals a test sends or waits for are for its own threads
            // (some wait for them with every other thread blocking them): the
            // thread starts with them blocked. Only those: with more blocked
            // (SIGCHLD among them) gdb's attach to this process now and then
            // waits forever for this thread to stop.
            sigset_t ours;
            sigset_t previous;
            sigemptyset(&ours);
            for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2}) {
                sigaddset(&ours, signal);
            }
            pthread_sigmask(SIG_BLOCK, &ours, &previous);
            thread_ = std::thread([this] { watch(); });
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        }
        testName_ = std::string(test.test_suite_name()) + "." + test.name();
        deadline_ = Clock::now() + limit_ - margin();
        changed_.notify_all();
    }

    void OnTestEnd(const ::testing::TestInfo&) override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        deadline_.reset();
        changed_.notify_all();
    }

    void OnTestProgramEnd(const ::testing::UnitTest&) override
    {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            changed_.notify_all();
        }
        if (thread_.joinable()) {
            thread_.join();
        }
    }

private:
    // The dump itself needs time (gdb loads the symbols of every library),
    // and ctest kills the whole process group at the limit.
    std::chrono::seconds margin() const
    {
        return std::clamp(limit_ / 5, std::chrono::seconds(10), std::chrono::seconds(30));
    }

    void watch()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            if (!deadline_) {
                changed_.wait(lock);
                continue;
            }
            const Clock::time_point deadline = *deadline_;
            if (Clock::now() < deadline) {
                changed_.wait_until(lock, deadline);
                continue;
            }
            deadline_.reset();  // one dump per test
            const std::string why = "test " + testName_ + " still runs " +
                                    std::to_string((limit_ - margin()).count()) + " s after its start (limit " +
                                    std::to_string(limit_.count()) + " s)";
            lock.unlock();
            ThreadDump::printAll(why);
            lock.lock();
        }
    }

    const std::chrono::seconds limit_;
    std::mutex mutex_;  // guards everything below; a leaf lock
    std::condition_variable changed_;
    std::optional<Clock::time_point> deadline_;
    std::string testName_;
    bool stopping_ = false;
    std::thread thread_;
};

// gtest owns the listener once appended.
[[maybe_unused]] const bool kInstalled = [] {
    const char* const limit = std::getenv("OVRA_TEST_TIMEOUT");
    const long seconds = limit != nullptr ? std::strtol(limit, nullptr, 10) : 0;
    if (seconds > 0) {
        ::testing::UnitTest::GetInstance()->listeners().Append(new HangWatchdog(std::chrono::seconds(seconds)));
    }
    return seconds > 0;
}();

}  // namespace
}  // namespace Tarvent::VirtualChannel::TestSupport
