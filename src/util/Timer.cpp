#include "util/Timer.h"

#include <exception>
#include <system_error>

#include "logging/Logger.h"

namespace Tarvent::VirtualChannel {

Timer::Timer(Callback callback) : state_(std::make_shared<State>(std::move(callback))) {}

Timer::~Timer()
{
    if (!onOwnThread()) {
        stop();
        return;
    }
    // Destroyed by its own callback: nobody can wait for this thread, which
    // goes on with the shared state only.
    {
        const std::lock_guard<std::mutex> state(state_->mutex);
        state_->running = false;
        state_->wakeUp.notify_all();
    }
    thread_.detach();
}

bool Timer::onOwnThread()
{
    const std::lock_guard<std::mutex> state(state_->mutex);
    return state_->threadId == std::this_thread::get_id();
}

void Timer::joinEndedThread()
{
    if (thread_.joinable()) {
        thread_.join();
    }
    thread_ = std::thread();
}

void Timer::start(std::chrono::milliseconds period, bool fireAtOnce)
{
    if (onOwnThread()) {
        // Taking startStopMutex_ here could wait for a stop() that joins this very thread.
        const std::lock_guard<std::mutex> state(state_->mutex);
        if (state_->running) {
            return;
        }
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                                "Timer started from its own callback after a stop");
    }
    const std::lock_guard<std::mutex> startStop(startStopMutex_);
    {
        const std::lock_guard<std::mutex> state(state_->mutex);
        if (state_->running) {
            return;
        }
    }
    // A stop() from inside the callback left its thread to be joined here.
    joinEndedThread();
    const std::lock_guard<std::mutex> state(state_->mutex);
    state_->period = period;
    state_->fireAtOnce = fireAtOnce;
    state_->restartRequested = false;
    state_->suspended = false;
    state_->running = true;
    try {
        thread_ = std::thread(&Timer::run, state_, this);
    } catch (...) {
        state_->running = false;
        throw;
    }
}

void Timer::restart()
{
    const std::lock_guard<std::mutex> state(state_->mutex);
    if (state_->running) {
        state_->restartRequested = true;
        state_->restartTime = std::chrono::steady_clock::now();
    }
}

void Timer::stop()
{
    if (onOwnThread()) {
        // The join would wait for itself: the thread ends once the callback returns.
        const std::lock_guard<std::mutex> state(state_->mutex);
        state_->running = false;
        state_->wakeUp.notify_all();
        return;
    }
    const std::lock_guard<std::mutex> startStop(startStopMutex_);
    {
        const std::lock_guard<std::mutex> state(state_->mutex);
        state_->running = false;
        state_->wakeUp.notify_all();
    }
    joinEndedThread();
}

void Timer::suspend()
{
    const std::lock_guard<std::mutex> state(state_->mutex);
    if (state_->running && !state_->suspended) {
        state_->suspended = true;
        state_->wakeUp.notify_all();
    }
}

void Timer::resume()
{
    const std::lock_guard<std::mutex> state(state_->mutex);
    if (state_->running && state_->suspended) {
        state_->suspended = false;
        state_->resumeTime = std::chrono::steady_clock::now();
        state_->wakeUp.notify_all();
    }
}

bool Timer::waitPeriod(State& s)
{
    std::unique_lock<std::mutex> lock(s.mutex);
    s.restartRequested = false;
    auto deadline = std::chrono::steady_clock::now() + s.period;
    for (;;) {
        if (!s.running) {
            return false;
        }
        if (s.suspended) {
            s.wakeUp.wait(lock, [&s] { return !s.running || !s.suspended; });
            if (!s.running) {
                return false;
            }
            s.restartRequested = false;
            deadline = s.resumeTime + s.period;
        }
        // Only stop() and suspend() wake the thread early; a restart moves
        // the deadline when the old one has passed.
        if (s.wakeUp.wait_until(lock, deadline, [&s] { return !s.running || s.suspended; })) {
            continue;
        }
        if (s.restartRequested) {
            s.restartRequested = false;
            deadline = s.restartTime + s.period;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return true;
        }
    }
}

void Timer::fire(State& state, Timer* timer)
{
    try {
        state.callback(timer);
    } catch (const std::exception& e) {
        logError("Timer callback failed: what=%s", e.what());
    } catch (...) {
        logError("Timer callback failed with an unknown exception");
    }
}

void Timer::run(const std::shared_ptr<State>& state, Timer* timer)
{
    bool fireNow = false;
    {
        const std::lock_guard<std::mutex> lock(state->mutex);
        state->threadId = std::this_thread::get_id();
        fireNow = state->fireAtOnce && !state->suspended && state->running;
    }
    if (fireNow) {
        fire(*state, timer);
    }
    while (waitPeriod(*state)) {
        fire(*state, timer);
    }
    // From here on no callback runs on this thread: a later thread with the
    // same id must not be taken for it.
    const std::lock_guard<std::mutex> lock(state->mutex);
    state->threadId = std::thread::id();
}

}  // namespace Tarvent::VirtualChannel
