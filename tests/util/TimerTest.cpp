#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "util/Timer.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Counts callbacks and lets a test wait for a number of them without sleeping blindly.
class FireCounter {
public:
    void fire()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
        last_ = Clock::now();
        changed_.notify_all();
    }
    bool waitFor(int n, std::chrono::milliseconds limit = 10s)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return count_ >= n; });
    }
    int count()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }
    Clock::time_point last()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return last_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
    Clock::time_point last_{};
};

// Polls `condition` until it holds or `limit` passes; whether it held.
template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds limit = 10s)
{
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(Timer, FireAtOnceThenPeriodically)
{
    FireCounter counter;
    Timer timer([&](Timer*) { counter.fire(); });
    const auto begin = Clock::now();
    timer.start(20ms, true);
    ASSERT_TRUE(counter.waitFor(1));
    ASSERT_TRUE(counter.waitFor(4));
    timer.stop();
    // Three full periods must have passed after the immediate call.
    EXPECT_GE(Clock::now() - begin, 60ms);
}

TEST(Timer, WithoutFireAtOnceFirstCallComesAfterOnePeriod)
{
    FireCounter counter;
    Timer timer([&](Timer*) { counter.fire(); });
    const auto begin = Clock::now();
    timer.start(50ms, false);
    ASSERT_TRUE(counter.waitFor(1));
    EXPECT_GE(counter.last() - begin, 50ms);
    timer.stop();
}

TEST(Timer, RestartsKeepItFromFiringUntilTheyStop)
{
    FireCounter counter;
    Timer timer([&](Timer*) { counter.fire(); });
    timer.start(200ms, false);
    for (int i = 0; i < 8; ++i) {
        std::this_thread::sleep_for(50ms);
        timer.restart();
    }
    EXPECT_EQ(counter.count(), 0);
    const auto lastRestart = Clock::now();
    ASSERT_TRUE(counter.waitFor(1));
    EXPECT_GE(counter.last() - lastRestart, 200ms);
    timer.stop();
}

TEST(Timer, StopWaitsForTheRunningCallbackAndNothingFollows)
{
    std::atomic<bool> inCallback{false};
    std::atomic<bool> callbackDone{false};
    std::atomic<int> calls{0};
    Timer timer([&](Timer*) {
        ++calls;
        inCallback = true;
        std::this_thread::sleep_for(100ms);
        callbackDone = true;
    });
    timer.start(10ms, true);
    while (!inCallback) {
        std::this_thread::sleep_for(1ms);
    }
    timer.stop();
    EXPECT_TRUE(callbackDone);
    const int after = calls;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls, after);
}

TEST(Timer, StartWhileRunningKeepsOldPeriodAndRestartAfterStopUsesNewOne)
{
    FireCounter counter;
    Timer timer([&](Timer*) { counter.fire(); });
    timer.start(10s, false);
    timer.start(1ms, true);  // ignored: still the 10 s period and no immediate call
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(counter.count(), 0);
    timer.stop();

    timer.start(5ms, false);
    ASSERT_TRUE(counter.waitFor(3));
    timer.stop();
}

TEST(Timer, CallbackMayRestartItsOwnTimerWhileStopWaits)
{
    std::atomic<bool> entered{false};
    Timer timer([&](Timer* self) {
        entered = true;
        std::this_thread::sleep_for(50ms);
        self->restart();
    });
    timer.start(5ms, true);
    while (!entered) {
        std::this_thread::sleep_for(1ms);
    }
    timer.stop();  // must not deadlock against the callback's restart
    SUCCEED();
}

TEST(Timer, ThrowingCallbackDoesNotEndTheThread)
{
    FireCounter counter;
    Timer timer([&](Timer*) {
        counter.fire();
        throw std::runtime_error("boom");
    });
    timer.start(5ms, true);
    ASSERT_TRUE(counter.waitFor(3));
    timer.stop();
}

TEST(Timer, StopAndRestartOnStoppedTimerAreNoOps)
{
    Timer timer([](Timer*) {});
    timer.stop();
    timer.restart();
    timer.suspend();
    timer.resume();
    SUCCEED();
}

TEST(Timer, ACallbackThatSuspendsItsTimerGetsNoCallUntilResumedAndThenAPeriodLater)
{
    FireCounter counter;
    Timer timer([&](Timer* self) {
        self->suspend();
        counter.fire();
    });
    timer.start(10ms, true);
    ASSERT_TRUE(counter.waitFor(1));
    // Twenty periods pass without a call.
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(counter.count(), 1);

    const auto resumed = Clock::now();
    timer.resume();
    timer.resume();  // no longer suspended: the period goes on
    ASSERT_TRUE(counter.waitFor(2));
    EXPECT_GE(counter.last() - resumed, 10ms);
    timer.stop();  // suspended again: stop ends the sleep
    EXPECT_EQ(counter.count(), 2);
}

TEST(Timer, SuspendFromOutsideSkipsThePendingCallAndStartEndsASuspension)
{
    FireCounter counter;
    Timer timer([&](Timer*) { counter.fire(); });
    timer.start(100ms, false);
    timer.suspend();
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(counter.count(), 0);
    timer.stop();

    // A fresh start is not suspended, and resume() does not disturb a running period.
    const auto started = Clock::now();
    timer.start(50ms, false);
    timer.resume();
    ASSERT_TRUE(counter.waitFor(1));
    EXPECT_GE(counter.last() - started, 50ms);
    timer.stop();
}


TEST(Timer, FireAtOnceCallsBeforeTheFirstPeriodHasPassed)
{
    FireCounter counter;
    Timer timer([&](Timer*) { counter.fire(); });
    const auto begin = Clock::now();
    timer.start(30s, true);
    // Without the flag honoured the first call would come after 30 s.
    ASSERT_TRUE(counter.waitFor(1, 20s));
    EXPECT_LT(counter.last() - begin, 20s);
    timer.stop();
    EXPECT_EQ(counter.count(), 1);
}

TEST(Timer, ThePeriodCountsFromTheEndOfASlowCallback)
{
    std::mutex mutex;
    std::vector<std::pair<Clock::time_point, Clock::time_point>> calls;  // begin, end
    FireCounter counter;
    Timer timer([&](Timer*) {
        const auto begin = Clock::now();
        std::this_thread::sleep_for(120ms);
        {
            const std::lock_guard<std::mutex> lock(mutex);
            calls.emplace_back(begin, Clock::now());
        }
        counter.fire();
    });
    timer.start(80ms, true);
    ASSERT_TRUE(counter.waitFor(3));
    timer.stop();
    const std::lock_guard<std::mutex> lock(mutex);
    for (std::size_t i = 1; i < calls.size(); ++i) {
        // A fixed grid would start a call every 80 ms, while the previous one still runs.
        EXPECT_GE(calls[i].first - calls[i - 1].second, 80ms) << "call " << i;
    }
}

TEST(Timer, StopFromInsideTheCallbackEndsTheTimerAndItCanStillBeDestroyedAndStarted)
{
    std::atomic<int> calls{0};
    std::atomic<bool> stopReturned{false};
    auto timer = std::make_unique<Timer>([&](Timer* self) {
        if (++calls == 1) {
            self->stop();
            stopReturned = true;
        }
    });
    timer->start(5ms, true);
    ASSERT_TRUE(waitUntil([&] { return stopReturned.load(); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls, 1);  // nothing after the stop

    // Started again from outside: the old thread is joined first.
    timer->start(5ms, true);
    EXPECT_TRUE(waitUntil([&] { return calls >= 3; }));
    timer->stop();

    // A self-stopped timer destroyed from outside joins its thread (no terminate).
    calls = 0;
    stopReturned = false;
    timer->start(5ms, true);
    ASSERT_TRUE(waitUntil([&] { return stopReturned.load(); }));
    timer.reset();
    EXPECT_EQ(calls, 1);
}

TEST(Timer, StartFromInsideTheCallbackAfterItsOwnStopIsRefused)
{
    std::atomic<bool> refused{false};
    std::atomic<bool> done{false};
    Timer timer([&](Timer* self) {
        self->start(1s, false);  // running: no effect
        self->stop();
        try {
            self->start(5ms, true);
        } catch (const std::system_error& e) {
            refused = e.code() == std::errc::resource_deadlock_would_occur;
        }
        done = true;
    });
    timer.start(5ms, true);
    ASSERT_TRUE(waitUntil([&] { return done.load(); }));
    EXPECT_TRUE(refused);
    timer.stop();
}

TEST(Timer, DestroyedByItsOwnCallbackTheThreadEndsWithoutTouchingIt)
{
    std::atomic<int> calls{0};
    std::atomic<bool> startReturned{false};
    std::atomic<bool> destroyed{false};
    std::unique_ptr<Timer> timer;
    timer = std::make_unique<Timer>([&](Timer*) {
        ++calls;
        // Only once nobody else is inside a call on the timer any more.
        if (startReturned) {
            timer.reset();
            destroyed = true;
        }
    });
    timer->start(5ms, true);
    startReturned = true;
    ASSERT_TRUE(waitUntil([&] { return destroyed.load(); }));
    const int after = calls;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls, after);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
