#pragma once

#include <chrono>
#include <cstdint>

namespace Tarvent::VirtualChannel {

class CrashText;

// Last words on the way out: while a CrashFlush exists, its function runs
// when the process dies of a fatal signal (SIGSEGV, SIGBUS, SIGFPE, SIGILL,
// SIGABRT, SIGTRAP, SIGSYS, SIGQUIT) or through std::terminate, before the
// signal's earlier action or the earlier terminate handler takes over. The
// first CrashFlush installs the handlers for the rest of the process.
// The function runs in signal context, on whichever thread crashed, while
// the other threads may be in the middle of anything (holding any lock): it
// must be async-signal-safe (atomics and plain system calls such as write;
// no locks, no allocation) and may run more than once (std::terminate ends
// in SIGABRT). It is told what crashed (see Crash), so that it can leave a
// report of it. Construction and destruction: any thread.
class CrashFlush {
public:
    // What crashed. Valid while the function runs.
    struct Crash {
        int signal = 0;  // 0: std::terminate (whose abort comes next as SIGABRT)
        bool sent = false;  // sent by a process (kill, raise, abort), not raised by a fault
        std::uintptr_t address = 0;  // where a SIGSEGV, SIGBUS, SIGILL or SIGFPE happened, else 0
        std::uint32_t threadId = 0;  // the kernel's id of the crashing thread
        // The crashing thread's stack, the interrupted place first (none for std::terminate).
        void* const* frames = nullptr;
        int frameCount = 0;
    };
    using Function = void (*)(void* context, const Crash& crash) noexcept;

    static constexpr int kMaxFrames = 64;

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

    // The report's lines, for a crash handler: the signal ("Crashed on a
    // fatal signal: signal=11; name=SIGSEGV; address=0x0"), and each frame
    // of the stack ("Stack frame: index=0; address=0x...; object=<the
    // program's or library's path>; offset=0x...; symbol=<its mangled
    // name>+0x...", as far as they are found). Async-signal-safe but for the
    // frame's names, which ask the loader under its lock (a crash while
    // another thread loads a library waits for that).
    static void describeSignal(const Crash& crash, CrashText& line) noexcept;
    static void describeFrame(const Crash& crash, int index, CrashText& line) noexcept;

    // Runs the function once, as a crash would.
    void run(const Crash& crash) const noexcept { function_(context_, crash); }

private:
    const Function function_;
    void* const context_;
    int slot_ = -1;
};

}  // namespace Tarvent::VirtualChannel
