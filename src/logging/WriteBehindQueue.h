#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

namespace Tarvent::VirtualChannel {

// Log text on its way from the threads that log to the thread that writes
// it, kept so that a crash handler can still get it out: the bytes live in
// one buffer allocated up front, and the positions that say what is queued
// are atomics. It also remembers where each record ends, so that a writer
// can stop at a record's end (a log file is rotated only between records).
// Threads: push, take and empty under one lock of the caller's (they share
// the record ends); written by the thread that took; crashDrain in signal
// context, beside all of them.
class WriteBehindQueue {
public:
    // One piece of queued text, in up to two parts (the buffer is a ring).
    struct Run {
        const char* data[2] = {nullptr, nullptr};
        std::size_t size[2] = {0, 0};
    };
    using CrashSink = void (*)(void* context, const char* data, std::size_t size) noexcept;

    explicit WriteBehindQueue(std::size_t capacity);

    WriteBehindQueue(const WriteBehindQueue&) = delete;
    WriteBehindQueue& operator=(const WriteBehindQueue&) = delete;

    // Adds one record's text; false (and nothing added) when it does not fit.
    bool push(const std::string& record);
    bool empty() const;

    // Takes the oldest queued text up to the end of the first record that
    // makes it at least `minBytes` long, or all of it when none does; false
    // when nothing is queued (or a crash handler has taken it). The run stays
    // in the buffer until written().
    bool take(std::uint64_t minBytes, Run& run);
    // The run taken last has been written: its room is free again.
    void written();

    // Async-signal-safe: hands everything queued and not yet written to
    // `sink`, oldest first, after giving a run taken by a writer on another
    // thread a moment to be written (one that is still not written then goes
    // out again: better twice than never). Later takes find nothing.
    void crashDrain(CrashSink sink, void* context) noexcept;

private:
    void fillRun(std::uint64_t from, std::uint64_t to, Run& run) const;
    void advanceHead(std::uint64_t to) noexcept;

    const std::size_t capacity_;
    const std::unique_ptr<char[]> buffer_;
    // Byte counts since construction; a position's byte is at position % capacity_.
    // head_ <= claimed_ <= tail_: written, taken by a writer, queued.
    std::atomic<std::uint64_t> head_{0};
    std::atomic<std::uint64_t> claimed_{0};
    std::atomic<std::uint64_t> tail_{0};
    std::uint64_t takenEnd_ = 0;  // the end of the run taken last; the taking thread's
    std::deque<std::uint64_t> recordEnds_;  // of the queued records, oldest first; under the caller's lock
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "read in signal handlers");
};

}  // namespace Tarvent::VirtualChannel
