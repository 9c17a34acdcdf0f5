#pragma once

#include <csignal>
#include <functional>
#include <thread>

#include "platform/UniqueFd.h"

namespace Tarvent::VirtualChannel {

// Turns SIGTERM and SIGINT into calls of a callback on a thread of its own,
// so that nothing but the kernel runs in signal context. `start` blocks both
// signals in the calling thread, and every thread created afterwards inherits
// that mask; a signal that reaches a thread started earlier without the mask
// still ends the process, so start it before any other thread.
// `start` and `stop` (or the destructor) run on the same thread; the
// callback runs on the watcher's thread, one signal at a time.
class StopSignalWatcher {
public:
    using Callback = std::function<void(int signal)>;

    // Blocks both signals in the calling thread (and so in every thread it
    // starts later) for the rest of the process, before any watcher exists:
    // a stop signal that comes meanwhile waits, pending, for the watcher
    // instead of ending the process. Returns 0 or the errno.
    static int blockStopSignals();

    StopSignalWatcher() = default;
    ~StopSignalWatcher();

    StopSignalWatcher(const StopSignalWatcher&) = delete;
    StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;

    // Returns 0, or the errno of the step that failed (nothing is left
    // blocked or running then). `callback` must not throw: the watcher's
    // thread has no caller to hand a failure to.
    int start(Callback callback);

    // Ends the thread, drops signals still pending and restores the mask the
    // caller had before `start`. Harmless when not started.
    void stop();

private:
    void watch();

    Callback callback_;
    UniqueFd signalFd_;
    UniqueFd wakeFd_;
    sigset_t previousMask_ {};
    bool masked_ = false;
    std::thread thread_;
};

}  // namespace Tarvent::VirtualChannel
