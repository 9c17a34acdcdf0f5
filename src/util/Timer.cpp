#include "util/Timer.h"

#include <exception>

#include "logging/Logger.h"

namespace Tarvent::VirtualChannel {

Timer::Timer(Callback callback) : callback_(std::move(callback)) {}

Timer::~Timer()
{
    stop();
}

void Timer::start(std::chrono::milliseconds period, bool fireAtOnce)
{
    const std::lock_guard<std::mutex> startStop(startStopMutex_);
    const std::lock_guard<std::mutex> state(stateMutex_);
    if (running_) {
        return;
    }
    period_ = period;
    fireAtOnce_ = fireAtOnce;
    restartRequested_ = false;
    running_ = true;
    try {
        thread_ = std::thread(&Timer::run, this);
    } catch (...) {
        running_ = false;
        throw;
    }
}

void Timer::restart()
{
    const std::lock_guard<std::mutex> state(stateMutex_);
    if (running_) {
        restartRequested_ = true;
        wakeUp_.notify_all();
    }
}

void Timer::stop()
{
    const std::lock_guard<std::mutex> startStop(startStopMutex_);
    {
        const std::lock_guard<std::mutex> state(stateMutex_);
        if (!running_) {
            return;
        }
        running_ = false;
        wakeUp_.notify_all();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    thread_ = std::thread();
}

bool Timer::waitPeriod()
{
    std::unique_lock<std::mutex> state(stateMutex_);
    for (;;) {
        restartRequested_ = false;
        const auto deadline = std::chrono::steady_clock::now() + period_;
        wakeUp_.wait_until(state, deadline, [this] { return !running_ || restartRequested_; });
        if (restartRequested_ && running_) {
            continue;
        }
        return running_;
    }
}

void Timer::fire()
{
    try {
        callback_(this);
    } catch (const std::exception& e) {
        logError("Timer callback failed: what=%s", e.what());
    } catch (...) {
        logError("Timer callback failed with an unknown exception");
    }
}

void Timer::run()
{
    bool fireNow = false;
    {
        const std::lock_guard<std::mutex> state(stateMutex_);
        fireNow = fireAtOnce_;
    }
    if (fireNow) {
        fire();
    }
    while (waitPeriod()) {
        fire();
    }
}

}  // namespace Tarvent::VirtualChannel
