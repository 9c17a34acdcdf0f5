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
#include <vector>

namespace linphone {
class Core;
}

struct belle_sip_main_loop;
struct _belle_sip_object;
struct _LinphoneConference;
struct _LinphoneCore;
struct _LinphoneCoreCbs;

namespace Tarvent::VirtualChannel {

// The one thread that owns a linphone Core. A Core is not thread-safe, so
// everything that touches it runs here: the thread creates the Core, calls
// iterate() (the Core's own auto-iterate is off), runs the tasks posted to it
// and delivers every Core listener callback (they are raised from iterate(),
// from the SIP stack's main loop or from inside a task). Other threads reach
// the Core only through run().
//
// Waiting: between two iterate() calls the thread waits inside the SIP
// stack's own main loop, which watches the SIP sockets and the stack's
// timers, so a SIP message is read and handled the moment it arrives; a
// change of a call's or an account's registration state ends the wait (the
// pace may change with it). Only while the calls are established and nothing
// else happens does it wait outside, so that the timers the stack runs in a
// call are served together by iterate(), and a SIP message waits for it too.
// A posted task wakes the thread at once either way.
//
// Iteration: every kBusyPeriod while signalling is under way (a call being
// set up, re-invited or ended, a registration in progress, or a task ran
// within the last kActivityWindow), so that the Core's own follow-up work
// keeps up with the messages; every kCallPeriod while the calls are
// established and nothing else happens (their media runs on the media
// library's own threads, iterate() only keeps timers, media events and
// statistics); every kIdlePeriod without calls.
//
// Lock order of the SIP layer (take only downwards; skipping levels is fine):
//   1. SipStack's lifecycle mutex (start and stop; never on this thread)
//   2. waiting for this thread: run() from another thread, destruction
//   3. SipStack's `mutex` and any lock that code on this thread takes
//      (listener callbacks, tasks)
//   4. leaf locks: this class's queue mutex (only the SIP stack's main-loop
//      lock below it), the log writer's, the Logger's
// The rule behind it: never wait for this thread while holding a lock that
// code on this thread may take, or both wait for each other. Code that must
// hold such a lock while it works with the Core runs wholly on this thread
// (take the lock inside the function given to run()).
//
// Stopping: the library ends a conference by a task of its own, queued on the
// SIP stack's main loop, and a Core stopped before that task ran would never
// release the conference, whose mixers keep their ticker threads running to
// the end of the process. So the final task runs the main loop until every
// conference the library has deleted is gone (at most kConferenceReleaseWait)
// before it stops the Core.
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

    // The Core's follow-up work during a call set-up waits at most this long.
    static constexpr std::chrono::milliseconds kBusyPeriod{2};
    // A request of the far end within an established call (re-INVITE, BYE)
    // and the call's media events (DTMF, statistics) wait at most this long.
    static constexpr std::chrono::milliseconds kCallPeriod{50};
    // Without calls only the Core's housekeeping and the media events of
    // players and recorders wait for iterate(); SIP messages don't. A
    // wake-up with its iterate costs about 0.1-0.2 ms on a loaded machine,
    // so this keeps the idle stack near 0.1% of a core.
    static constexpr std::chrono::milliseconds kIdlePeriod{200};
    static constexpr std::chrono::milliseconds kActivityWindow{250};
    // The library releases a deleted conference after a few tens of
    // milliseconds; a conference something else still holds is not waited
    // for longer than this at the stop.
    static constexpr std::chrono::milliseconds kConferenceReleaseWait{2000};

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

    // Queues `operation` for the core thread and returns at once; on the core
    // thread it runs after the callback in progress has returned (the
    // library may still use the objects that callback was given). Throws
    // SipError when the thread is shutting down.
    void postLater(std::function<void(const CorePtr&)> operation);

    // Stops and destroys the Core on its thread and joins it. Tasks posted
    // before still run; later ones fail with a SipError. Idempotent; any
    // thread but the core thread (SipError there), one at a time.
    void shutdown();

    bool isCoreThread() const { return coreThreadId_.load() == std::this_thread::get_id(); }

private:
    struct CallbacksDeleter {
        void operator()(_LinphoneCoreCbs* callbacks) const;
    };

    void post(std::function<void()> task);
    // Queues `task` and wakes the thread if it waits; `last` refuses every
    // later task. Throws SipError when no task is accepted any more.
    void enqueue(std::function<void()> task, bool last);
    void main(const CoreFactory& factory, std::promise<void>& created);
    // Core thread: waits in the SIP stack's main loop for at most `period`,
    // handling SIP traffic meanwhile; returns early when woken.
    void waitInMainLoop(std::chrono::steady_clock::duration period);
    // Core thread: ends a waitInMainLoop in progress (nothing otherwise).
    void endWait();
    // Core thread, from the Core: a call or a registration changed.
    static void onSignallingChanged(_LinphoneCore* core);
    // Core thread, from the Core: the library deleted `conference` and has
    // queued its release.
    static void onConferenceDeleted(_LinphoneCore* core, _LinphoneConference* conference);
    // Core thread, from the library: a conference watched for its release is gone.
    static void onConferenceReleased(void* self, _belle_sip_object* conference);
    // Core thread, by the final task: runs the main loop until the deleted
    // conferences are released, or kConferenceReleaseWait has passed.
    void awaitConferenceRelease();
    // Core thread: stops watching the conferences not released yet.
    void forgetReleasingConferences();
    // Core thread, by the final task: lets go of the Core.
    void finish();
    // The period until the next iterate(), from the calls and accounts.
    std::chrono::milliseconds pace() const;

    CorePtr core_;  // core thread only
    belle_sip_main_loop* mainLoop_ = nullptr;  // the Core's; set before the constructor returns
    std::unique_ptr<_LinphoneCoreCbs, CallbacksDeleter> callbacks_;  // core thread only
    bool waiting_ = false;            // core thread only: inside waitInMainLoop
    bool signallingChanged_ = false;  // core thread only: since the last iterate()
    // Core thread only: conferences the library deleted and has not released yet.
    std::vector<_LinphoneConference*> releasingConferences_;
    std::atomic<std::thread::id> coreThreadId_{};

    // Guards tasks_, accepting_, asleep_, wakePending_; lock order level 4.
    // Held while a wake-up is queued into the main loop, whose own lock
    // comes after it (the loop calls nothing of ours under that lock).
    std::mutex queueMutex_;
    std::condition_variable queueChanged_;  // for the wait outside the main loop
    std::deque<std::function<void()>> tasks_;
    bool accepting_ = true;
    bool asleep_ = false;       // the thread waits, or is about to, with no task queued
    bool wakePending_ = false;  // a wake-up is queued in the main loop and not yet seen
    bool finished_ = false;     // core thread only: set by the final task

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
