#pragma once

#include <chrono>
#include <cstdint>

namespace Tarvent::VirtualChannel {

// Paces the listener's accept calls after a failure and logs each run of
// failures or refusals once, with its count when it ends. A process that ran
// out of descriptors keeps its listener readable while the connection waits
// in the backlog, so retrying at every poll would spin the worker and flood
// the log; refusals come at whatever pace a local process connects.
// Dispatcher's worker thread only.
class AcceptBackoff {
public:
    using Clock = std::chrono::steady_clock;

    AcceptBackoff(std::chrono::milliseconds firstDelay, std::chrono::milliseconds maxDelay);

    // Whether accept may be tried at `now`.
    bool ready(Clock::time_point now) const { return now >= retryTime_; }
    // How long the listener must stay out of the poll (0 when ready).
    std::chrono::milliseconds delay(Clock::time_point now) const;

    // A failed accept (not a vanished peer): the first of a run is logged
    // and every one doubles the pause before the next try, up to maxDelay.
    void onFailure(int error, Clock::time_point now);
    // An accept that did not fail (a connection, or none pending): ends a run
    // of failures.
    void onAcceptWorked();
    // A connection accepted and closed at once because `count` connections
    // are open and `limit` is the most allowed.
    void onRefused(int count, int limit);
    // A connection accepted and kept: ends a run of refusals.
    void onKept();
    // The listener closes: a run still going on is logged with its count.
    void finish();

private:
    const std::chrono::milliseconds firstDelay_;
    const std::chrono::milliseconds maxDelay_;
    std::chrono::milliseconds nextDelay_;
    Clock::time_point retryTime_{};
    std::uint64_t failures_ = 0;
    int lastError_ = 0;
    std::uint64_t refusals_ = 0;
};

}  // namespace Tarvent::VirtualChannel
