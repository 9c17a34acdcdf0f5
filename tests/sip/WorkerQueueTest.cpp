#include "sip/WorkerQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/CapturingAppender.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;

// Records what it consumed; can hold the worker inside `consume` until released.
class RecordingConsumer : public IWorkerQueueConsumer<int> {
public:
    void consume(int& record) override
    {
        std::unique_lock<std::mutex> lock(mutex_);
        consumed_.push_back(record);
        inConsume_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !gated_ || record != gateAt_; });
        inConsume_ = false;
        if (record < 0) {
            throw std::runtime_error("negative record");
        }
        if (record == 1000) {
            throw 42;  // not even an exception class
        }
    }

    void gate(int at)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        gated_ = true;
        gateAt_ = at;
    }
    void release()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        gated_ = false;
        changed_.notify_all();
    }
    void waitForCount(std::size_t n)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        ASSERT_TRUE(changed_.wait_for(lock, 10s, [&] { return consumed_.size() >= n; }));
    }
    std::vector<int> consumed()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return consumed_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> consumed_;
    bool inConsume_ = false;
    bool gated_ = false;
    int gateAt_ = 0;
};

TEST(WorkerQueueTest, BurstWhileBusyIsConsumedLaterInPushOrder)
{
    RecordingConsumer consumer;
    {
        WorkerQueue<int> queue(&consumer);
        consumer.gate(0);
        queue.push(0);
        consumer.waitForCount(1);  // the worker now sits in consume(0)
        for (int i = 1; i <= 100; ++i) {
            queue.push(i);
        }
        consumer.release();
        consumer.waitForCount(101);
    }
    const auto consumed = consumer.consumed();
    ASSERT_EQ(consumed.size(), 101u);
    for (int i = 0; i <= 100; ++i) {
        EXPECT_EQ(consumed[i], i);
    }
}

TEST(WorkerQueueTest, ManyProducersKeepEachProducersOrder)
{
    RecordingConsumer consumer;
    constexpr int kProducers = 4;
    constexpr int kEach = 2000;
    {
        WorkerQueue<int> queue(&consumer);
        std::vector<std::thread> producers;
        for (int p = 0; p < kProducers; ++p) {
            producers.emplace_back([&queue, p] {
                for (int i = 0; i < kEach; ++i) {
                    queue.push(p * kEach + i);
                }
            });
        }
        for (auto& t : producers) {
            t.join();
        }
        consumer.waitForCount(kProducers * kEach);
    }
    std::vector<int> last(kProducers, -1);
    for (const int r : consumer.consumed()) {
        const int p = r / kEach;
        EXPECT_GT(r, last[p]);
        last[p] = r;
    }
}

TEST(WorkerQueueTest, StopWhileWaitingEndsAtOnce)
{
    RecordingConsumer consumer;
    { WorkerQueue<int> queue(&consumer); }
    EXPECT_TRUE(consumer.consumed().empty());
}

TEST(WorkerQueueTest, StopWithRecordsPendingConsumesAPrefixInOrder)
{
    // Whether the worker is waiting, busy or not yet started when the stop
    // comes is up to the scheduler; whatever it consumes is in push order
    // and nothing is consumed after the queue is gone.
    for (int round = 0; round < 200; ++round) {
        RecordingConsumer consumer;
        {
            WorkerQueue<int> queue(&consumer);
            for (int i = 0; i < 5; ++i) {
                queue.push(i);
            }
        }
        const auto consumed = consumer.consumed();
        for (std::size_t i = 0; i < consumed.size(); ++i) {
            EXPECT_EQ(consumed[i], static_cast<int>(i));
        }
    }
}

TEST(WorkerQueueTest, FailuresInConsumeAreLoggedAndTheWorkerGoesOn)
{
    TestSupport::LogCapture capture;
    RecordingConsumer consumer;
    {
        WorkerQueue<int> queue(&consumer);
        queue.push(-1);
        queue.push(1000);
        queue.push(3);
        consumer.waitForCount(3);
    }
    EXPECT_EQ(consumer.consumed(), (std::vector<int>{-1, 1000, 3}));
    EXPECT_TRUE(capture.contains("WorkerQueue: consume failed; what=negative record"));
    EXPECT_TRUE(capture.contains("WorkerQueue: consume failed with an unknown error"));
}

// An owner whose last reference is dropped inside its own consume call.
class SelfOwned : public IWorkerQueueConsumer<std::shared_ptr<SelfOwned>>,
                  public std::enable_shared_from_this<SelfOwned> {
public:
    explicit SelfOwned(std::atomic<int>& destroyed) : destroyed_(destroyed), queue_(this) {}
    ~SelfOwned() override { ++destroyed_; }

    void pushSelf() { queue_.push(shared_from_this()); }
    void consume(std::shared_ptr<SelfOwned>& record) override { record.reset(); }

private:
    std::atomic<int>& destroyed_;
    WorkerQueue<std::shared_ptr<SelfOwned>> queue_;
};

TEST(WorkerQueueTest, OwnerDestroyedOnItsOwnWorkerThread)
{
    std::atomic<int> destroyed{0};
    for (int i = 0; i < 20; ++i) {
        auto owner = std::make_shared<SelfOwned>(destroyed);
        owner->pushSelf();
        owner->pushSelf();
        owner.reset();  // the queued records now hold the last references
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (destroyed < 20 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(destroyed, 20);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
