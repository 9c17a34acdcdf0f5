#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace Tarvent::VirtualChannel {

// Runs a callback periodically on a thread of its own. Periods count from the
// end of the previous callback. start/restart/stop/suspend/resume may be
// called from any thread, the callback included.
// The callback runs with no Timer lock held and must not throw; if it does, the
// exception is logged and the timer goes on.
// A timer that has nothing to watch for a while can be suspended: its thread
// then sleeps without waking until resume() or stop().
//
// Join or detach: stop() and the destructor wait for the timer's thread to
// end (a callback in progress included), except on that thread itself, from
// inside the callback, where waiting would wait for itself. There, stop()
// only ends the timer: no callback follows the one in progress, and the
// thread, which ends when that callback returns, is joined by the next
// start(), stop() or destruction on another thread. The destructor on the
// timer's own thread detaches the thread instead; after the callback returns
// it touches nothing of the Timer any more. As for any object, no other
// thread may still be inside a call on the Timer when it is destroyed.
class Timer {
public:
    using Callback = std::function<void(Timer*)>;

    // `callback` must not be empty.
    explicit Timer(Callback callback);
    // Stops the timer first if it still runs (see above).
    ~Timer();

    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // No effect while running (period and flag stay). On the timer's own
    // thread after a stop() there, fails with std::system_error
    // (resource_deadlock_would_occur): the old thread is still the caller.
    void start(std::chrono::milliseconds period, bool fireAtOnce);
    // Begins a fresh period without firing; no effect while stopped. Wakes
    // nobody (the timer thread looks at it when its period ends), so it is
    // cheap enough to call for every message.
    void restart();
    // Waits for a callback in progress (unless called from it); no effect
    // while stopped.
    void stop();
    // No callback from now on (one in progress finishes) until resume();
    // no effect while stopped. start() ends a suspension too.
    void suspend();
    // Ends a suspension: the next callback comes one period from now. No
    // effect unless suspended (a running period goes on), so it is cheap
    // enough to call whenever there is something to watch.
    void resume();

private:
    // What the timer's thread uses: shared with it, so that a thread detached
    // by a destruction from inside the callback still finds it.
    struct State {
        explicit State(Callback c) : callback(std::move(c)) {}

        const Callback callback;
        // Guards everything below; a leaf lock (callers may hold their own locks).
        std::mutex mutex;
        std::condition_variable wakeUp;
        std::chrono::milliseconds period{0};
        bool running = false;
        bool restartRequested = false;
        std::chrono::steady_clock::time_point restartTime;  // of the latest restart()
        bool fireAtOnce = false;
        bool suspended = false;
        std::chrono::steady_clock::time_point resumeTime;  // of the latest resume()
        std::thread::id threadId;  // of the thread that runs the callback
    };

    static bool waitPeriod(State& state);
    static void run(const std::shared_ptr<State>& state, Timer* timer);
    static void fire(State& state, Timer* timer);
    // On the timer's own thread, while the callback runs.
    bool onOwnThread();
    // Joins a thread that a stop() from inside its callback left behind.
    // Caller holds startStopMutex_ and is not on that thread.
    void joinEndedThread();

    // Serialises start/stop/destruction and thread_; taken before State::mutex.
    std::mutex startStopMutex_;
    const std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace Tarvent::VirtualChannel
