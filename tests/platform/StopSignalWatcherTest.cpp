#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/StopSignalWatcher.h"

namespace Tarvent::VirtualChannel {
namespace {

bool isBlocked(int signal)
{
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, signal) == 1;
}

class SignalLog {
public:
    void add(int signal)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        signals_.push_back(signal);
        threads_.push_back(std::this_thread::get_id());
        changed_.notify_all();
    }
    bool waitForCount(std::size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return signals_.size() >= count; });
    }
    std::vector<int> signals()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return signals_;
    }
    std::vector<std::thread::id> threads()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return threads_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> signals_;
    std::vector<std::thread::id> threads_;
};

TEST(StopSignalWatcher, DeliversTermAndIntOnItsOwnThreadThenRestoresTheMask)
{
    ASSERT_FALSE(isBlocked(SIGTERM));
    SignalLog log;
    {
        StopSignalWatcher watcher;
        ASSERT_EQ(watcher.start([&](int signal) { log.add(signal); }), 0);
        EXPECT_TRUE(isBlocked(SIGTERM));
        EXPECT_TRUE(isBlocked(SIGINT));
        EXPECT_EQ(watcher.start([](int) {}), EBUSY);

        // Process-directed, as a service manager or a terminal sends them.
        ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
        ASSERT_TRUE(log.waitForCount(1));
        ASSERT_EQ(::kill(::getpid(), SIGINT), 0);
        ASSERT_TRUE(log.waitForCount(2));
    }
    EXPECT_EQ(log.signals(), (std::vector<int>{SIGTERM, SIGINT}));
    for (const auto& id : log.threads()) {
        EXPECT_NE(id, std::this_thread::get_id());
    }
    EXPECT_FALSE(isBlocked(SIGTERM));
    EXPECT_FALSE(isBlocked(SIGINT));
}

TEST(StopSignalWatcher, DropsASignalThatArrivesAfterTheWatchEnded)
{
    SignalLog log;
    StopSignalWatcher watcher;
    ASSERT_EQ(watcher.start([&](int signal) { log.add(signal); }), 0);
    // Raised on this thread, where it is blocked, it stays pending for this
    // thread only, out of the watcher's reach; stop must not let it through.
    ASSERT_EQ(::pthread_kill(::pthread_self(), SIGTERM), 0);
    watcher.stop();
    EXPECT_FALSE(isBlocked(SIGTERM));
    EXPECT_TRUE(log.signals().empty());
    // Still alive: the pending signal was consumed instead of ending us.
    watcher.stop();
}

TEST(StopSignalWatcher, KeepsSignalsBlockedThatWereBlockedBefore)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigset_t previous;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &set, &previous), 0);
    {
        StopSignalWatcher watcher;
        ASSERT_EQ(watcher.start([](int) {}), 0);
    }
    EXPECT_TRUE(isBlocked(SIGINT));
    EXPECT_FALSE(isBlocked(SIGTERM));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
