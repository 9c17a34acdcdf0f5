#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace Tarvent::VirtualChannel {

// Runs a callback periodically on a thread of its own. Periods count from the
// end of the previous callback. start/restart/stop may be called from any
// thread but the timer's own (stop from inside the callback would join itself);
// suspend/resume from any thread, the callback included.
// The callback runs with no Timer lock held and must not throw; if it does, the
// exception is logged and the timer goes on.
// A timer that has nothing to watch for a while can be suspended: its thread
// then sleeps without waking until resume() or stop().
class Timer {
public:
    using Callback = std::function<void(Timer*)>;

    // `callback` must not be empty.
    explicit Timer(Callback callback);
    // The timer is stopped first if it still runs.
    ~Timer();

    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // No effect while running (period and flag stay).
    void start(std::chrono::milliseconds period, bool fireAtOnce);
    // Begins a fresh period without firing; no effect while stopped. Wakes
    // nobody (the timer thread looks at it when its period ends), so it is
    // cheap enough to call for every message.
    void restart();
    // Waits for a callback in progress; no effect while stopped.
    void stop();
    // No callback from now on (one in progress finishes) until resume();
    // no effect while stopped. start() ends a suspension too.
    void suspend();
    // Ends a suspension: the next callback comes one period from now. No
    // effect unless suspended (a running period goes on), so it is cheap
    // enough to call whenever there is something to watch.
    void resume();

private:
    bool waitPeriod();
    void run();
    void fire();

    // Guards period_, running_, restartRequested_, restartTime_, fireAtOnce_,
    // suspended_, resumeTime_; a leaf lock (callers may hold their own locks).
    std::mutex stateMutex_;
    std::mutex startStopMutex_;  // serialises start/stop and thread_; taken before stateMutex_
    Callback callback_;
    std::chrono::milliseconds period_{0};
    std::thread thread_;
    std::condition_variable wakeUp_;
    bool running_ = false;
    bool restartRequested_ = false;
    std::chrono::steady_clock::time_point restartTime_;  // of the latest restart()
    bool fireAtOnce_ = false;
    bool suspended_ = false;
    std::chrono::steady_clock::time_point resumeTime_;  // of the latest resume()
};

}  // namespace Tarvent::VirtualChannel
