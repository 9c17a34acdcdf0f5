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
    suspended_ = false;
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
        restartTime_ = std::chrono::steady_clock::now();
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

void Timer::suspend()
{
    const std::lock_guard<std::mutex> state(stateMutex_);
    if (running_ && !suspended_) {
        suspended_ = true;
        wakeUp_.notify_all();
    }
}

void Timer::resume()
{
    const std::lock_guard<std::mutex> state(stateMutex_);
    if (running_ && suspended_) {
        suspended_ = false;
        resumeTime_ = std::chrono::steady_clock::now();
        wakeUp_.notify_all();
    }
}

bool Timer::waitPeriod()
{
    std::unique_lock<std::mutex> state(stateMutex_);
    restartRequested_ = false;
    auto deadline = std::chrono::steady_clock::now() + period_;
    for (;;) {
        if (suspended_) {
            wakeUp_.wait(state, [this] { return !running_ || !suspended_; });
            if (!running_) {
                return false;
            }
            restartRequested_ = false;
            deadline = resumeTime_ + period_;
        }
        // Only stop() and suspend() wake the thread early; a restart moves
        // the deadline when the old one has passed.
        if (wakeUp_.wait_until(state, deadline, [this] { return !running_ || suspended_; })) {
            if (!running_) {
                return false;
            }
            continue;
        }
        if (restartRequested_) {
            restartRequested_ = false;
            deadline = restartTime_ + period_;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return true;
        }
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
        fireNow = fireAtOnce_ && !suspended_;
    }
    if (fireNow) {
        fire();
    }
    while (waitPeriod()) {
        fire();
    }
}

}  // namespace Tarvent::VirtualChannel
