#pragma once

#include <chrono>

namespace Tarvent::VirtualChannel {

// Last words on the way out: while a CrashFlush exists, its function runs
// when the process dies of a fatal signal (SIGSEGV, SIGBUS, SIGFPE, SIGILL,
// SIGABRT, SIGTRAP, SIGSYS, SIGQUIT) or through std::terminate, before the
// signal's earlier action or the earlier terminate handler takes over. The
// first CrashFlush installs the handlers for the rest of the process.
// The function runs in signal context, on whichever thread crashed, while
// the other threads may be in the middle of anything (holding any lock): it
// must be async-signal-safe (atomics and plain system calls such as write;
// no locks, no allocation) and may run more than once (std::terminate ends
// in SIGABRT). Construction and destruction: any thread.
class CrashFlush {
public:
    using Function = void (*)(void* context) noexcept;

    static constexpr int kMaxFlushes = 8;

    // Registers `function` with `context`; when kMaxFlushes are registered
    // already, nothing is (see registered()).
    CrashFlush(Function function, void* context);
    // Unregisters; waits for a run of the function in progress on another thread.
    ~CrashFlush();

    CrashFlush(const CrashFlush&) = delete;
    CrashFlush& operator=(const CrashFlush&) = delete;

    bool registered() const { return slot_ >= 0; }

    // Sleeps inside a crash handler (async-signal-safe), for a flush that
    // gives another thread a moment to finish a write already begun.
    static void pause(std::chrono::milliseconds duration) noexcept;

    // Runs the function once, as a crash would.
    void run() const noexcept { function_(context_); }

private:
    const Function function_;
    void* const context_;
    int slot_ = -1;
};

}  // namespace Tarvent::VirtualChannel
