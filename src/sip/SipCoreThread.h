#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>

namespace linphone {
class Core;
}

namespace Tarvent::VirtualChannel {

// The one thread that owns a linphone Core. A Core is not thread-safe, so
// everything that touches it runs here: the thread creates the Core, calls
// iterate() (the Core's own auto-iterate is off), runs the tasks posted to it
// and delivers every Core listener callback (they are raised from iterate() or
// from inside a task). Other threads reach the Core only through run().
//
// Iteration: every kBusyPeriod while signalling is under way (a call being
// set up, re-invited or ended, a registration in progress, or a task ran
// within the last kActivityWindow), so that the answers to an operation are
// read as soon as they arrive; every kCallPeriod while the calls are
// established and nothing else happens (their media runs on the media
// library's own threads, iterate() only keeps timers and statistics); every
// kIdlePeriod without calls. A posted task wakes the thread at once.
//
// Lock order of the SIP layer (take only downwards; skipping levels is fine):
//   1. SipStack's lifecycle mutex (start and stop; never on this thread)
//   2. waiting for this thread: run() from another thread, destruction
//   3. SipStack's `mutex` and any lock that code on this thread takes
//      (listener callbacks, tasks)
//   4. leaf locks: this class's queue mutex, the log writer's, the Logger's
// The rule behind it: never wait for this thread while holding a lock that
// code on this thread may take, or both wait for each other. Code that must
// hold such a lock while it works with the Core runs wholly on this thread
// (take the lock inside the function given to run()).
//
// Construction, shutdown, destruction: one owner thread at a time, never
// this thread (a last reference dropped on it after shutdown is fine).
// run(): any thread, also this one (runs inline then).
class SipCoreThread {
public:
    using CorePtr = std::shared_ptr<linphone::Core>;
    // Creates, configures and starts the Core; runs on the new thread. Throws
    // on failure, after destroying what it created.
    using CoreFactory = std::function<CorePtr()>;

    // Each SIP message of a call set-up waits at most this long to be read.
    static constexpr std::chrono::milliseconds kBusyPeriod{2};
    // An idle iterate costs the library about 0.1 ms; at 40 ms the idle stack
    // stays well under 0.5% of a core. The first request of an incoming
    // call waits at most this long, the rest of the call runs at kBusyPeriod.
    static constexpr std::chrono::milliseconds kIdlePeriod{40};
    // A request of the far end within an established call (re-INVITE, BYE)
    // waits at most this long; the fast pace then takes over.
    static constexpr std::chrono::milliseconds kCallPeriod{20};
    static constexpr std::chrono::milliseconds kActivityWindow{250};

    // Starts the thread and waits until `factory` has made the Core. When the
    // factory throws (or returns null: SipError), the thread has ended and
    // the exception is thrown here; nothing is left behind.
    explicit SipCoreThread(const CoreFactory& factory);
    // Shuts down unless done already.
    ~SipCoreThread();

    SipCoreThread(const SipCoreThread&) = delete;
    SipCoreThread& operator=(const SipCoreThread&) = delete;

    // Runs `operation` (callable with `const CorePtr&`) on the core thread and
    // returns its result; any exception it throws (SipError, std::exception,
    // anything) is thrown here. Inline when called on the core thread.
    // Throws SipError when the thread is shutting down.
    template <class F>
    auto run(F&& operation) -> std::invoke_result_t<F&, const CorePtr&>;

    // Stops and destroys the Core on its thread and joins it. Tasks posted
    // before still run; later ones fail with a SipError. Idempotent; any
    // thread but the core thread (SipError there), one at a time.
    void shutdown();

    bool isCoreThread() const { return coreThreadId_.load() == std::this_thread::get_id(); }

private:
    void post(std::function<void()> task);
    void main(const CoreFactory& factory, std::promise<void>& created);
    // The period until the next iterate(), from the calls and accounts.
    std::chrono::milliseconds pace() const;

    CorePtr core_;  // core thread only
    std::atomic<std::thread::id> coreThreadId_{};

    std::mutex queueMutex_;  // guards tasks_, accepting_; lock order level 4 (leaf)
    std::condition_variable queueChanged_;
    std::deque<std::function<void()>> tasks_;
    bool accepting_ = true;
    bool finished_ = false;  // core thread only: set by the final task

    std::thread thread_;
};

template <class F>
auto SipCoreThread::run(F&& operation) -> std::invoke_result_t<F&, const CorePtr&>
{
    using Result = std::invoke_result_t<F&, const CorePtr&>;
    if (isCoreThread()) {
        return operation(core_);
    }
    std::packaged_task<Result()> task([this, &operation]() -> Result { return operation(core_); });
    std::future<Result> result = task.get_future();
    // The task lives on this stack frame: we wait for it below.
    post([&task]() { task(); });
    return result.get();
}

}  // namespace Tarvent::VirtualChannel
