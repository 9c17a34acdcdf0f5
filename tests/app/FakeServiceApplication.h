#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "app/IServiceApplication.h"

namespace Tarvent::VirtualChannel::TestSupport {

// An application whose start and run do what the test says; run blocks until
// stop is called (unless told to end at once). Any thread.
class FakeServiceApplication : public IServiceApplication {
public:
    std::function<void(const std::string&)> onStart;  // may throw
    std::function<void()> onRun;                      // called before run blocks
    std::function<void()> onAbandon;                  // may throw
    bool runEndsAtOnce = false;

    void start(const std::string& workingDirectory) override
    {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            workingDirectory_ = workingDirectory;
            ++starts_;
        }
        if (onStart) {
            onStart(workingDirectory);
        }
    }
    void run() override
    {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            ++runs_;
        }
        if (onRun) {
            onRun();
        }
        std::unique_lock<std::mutex> lock(mutex_);
        if (!runEndsAtOnce) {
            changed_.wait(lock, [&] { return stops_ > 0; });
        }
    }
    void stop() override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++stops_;
        changed_.notify_all();
    }
    void abandonStart() override
    {
        if (onAbandon) {
            onAbandon();
        }
        const std::lock_guard<std::mutex> lock(mutex_);
        ++abandons_;
    }

    int starts()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return starts_;
    }
    int runs()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return runs_;
    }
    int abandons()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return abandons_;
    }
    int stops()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return stops_;
    }
    std::string workingDirectory()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return workingDirectory_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string workingDirectory_;
    int starts_ = 0;
    int runs_ = 0;
    int stops_ = 0;
    int abandons_ = 0;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
