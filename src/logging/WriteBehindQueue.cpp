#include "logging/WriteBehindQueue.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/CrashFlush.h"

namespace Tarvent::VirtualChannel {

namespace {

// How long a crash handler waits for a writer's run to be written.
constexpr int kCrashWaitSteps = 100;
constexpr std::chrono::milliseconds kCrashWaitStep{1};

}  // namespace

WriteBehindQueue::WriteBehindQueue(std::size_t capacity)
    : capacity_(std::max<std::size_t>(capacity, 1)), buffer_(std::make_unique<char[]>(capacity_))
{
}

bool WriteBehindQueue::push(const std::string& record)
{
    const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    const std::uint64_t used = tail - head_.load(std::memory_order_acquire);
    if (record.size() > capacity_ - used) {
        return false;
    }
    const std::size_t at = static_cast<std::size_t>(tail % capacity_);
    const std::size_t first = std::min(record.size(), capacity_ - at);
    std::memcpy(buffer_.get() + at, record.data(), first);
    std::memcpy(buffer_.get(), record.data() + first, record.size() - first);
    const std::uint64_t end = tail + record.size();
    recordEnds_.push_back(end);
    tail_.store(end, std::memory_order_release);
    return true;
}

bool WriteBehindQueue::empty() const
{
    return claimed_.load(std::memory_order_acquire) == tail_.load(std::memory_order_acquire);
}

bool WriteBehindQueue::take(std::uint64_t minBytes, Run& run)
{
    std::uint64_t from = claimed_.load(std::memory_order_acquire);
    const std::uint64_t tail = tail_.load(std::memory_order_acquire);
    if (from == tail) {
        return false;
    }
    std::uint64_t to = tail;
    while (!recordEnds_.empty()) {
        const std::uint64_t end = recordEnds_.front();
        recordEnds_.pop_front();
        if (end - from >= minBytes) {
            to = end;
            break;
        }
    }
    if (!claimed_.compare_exchange_strong(from, to, std::memory_order_acq_rel)) {
        return false;
    }
    takenEnd_ = to;
    fillRun(from, to, run);
    return true;
}

void WriteBehindQueue::written()
{
    advanceHead(takenEnd_);
}

void WriteBehindQueue::advanceHead(std::uint64_t to) noexcept
{
    // Only forward: a crash handler may have moved it past a writer's run.
    std::uint64_t head = head_.load(std::memory_order_acquire);
    while (head < to && !head_.compare_exchange_weak(head, to, std::memory_order_acq_rel)) {
    }
}

void WriteBehindQueue::fillRun(std::uint64_t from, std::uint64_t to, Run& run) const
{
    const std::size_t at = static_cast<std::size_t>(from % capacity_);
    const std::size_t size = static_cast<std::size_t>(to - from);
    const std::size_t first = std::min(size, capacity_ - at);
    run.data[0] = buffer_.get() + at;
    run.size[0] = first;
    run.data[1] = buffer_.get();
    run.size[1] = size - first;
}

void WriteBehindQueue::crashDrain(CrashSink sink, void* context) noexcept
{
    std::uint64_t from = 0;
    std::uint64_t tail = 0;
    for (int step = 0;; ++step) {
        const std::uint64_t head = head_.load(std::memory_order_acquire);
        std::uint64_t claimed = claimed_.load(std::memory_order_acquire);
        const bool waitedEnough = step >= kCrashWaitSteps;
        if (head != claimed && !waitedEnough) {
            // A writer on another thread is writing a run: let it finish.
            CrashFlush::pause(kCrashWaitStep);
            continue;
        }
        tail = tail_.load(std::memory_order_acquire);
        // Once this succeeds no writer can take what this handler writes.
        if (claimed_.compare_exchange_strong(claimed, tail, std::memory_order_acq_rel)) {
            // A run still unwritten after the wait is written here (its
            // writer may be the thread that crashed).
            from = head;
            break;
        }
    }
    if (from < tail) {
        Run run;
        fillRun(from, tail, run);
        sink(context, run.data[0], run.size[0]);
        if (run.size[1] > 0) {
            sink(context, run.data[1], run.size[1]);
        }
    }
    advanceHead(tail);
}

}  // namespace Tarvent::VirtualChannel
