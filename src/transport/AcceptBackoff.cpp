#include "transport/AcceptBackoff.h"

#include <algorithm>

#include "logging/Logger.h"

namespace Tarvent::VirtualChannel {

AcceptBackoff::AcceptBackoff(std::chrono::milliseconds firstDelay, std::chrono::milliseconds maxDelay)
    : firstDelay_(firstDelay), maxDelay_(std::max(firstDelay, maxDelay)), nextDelay_(firstDelay)
{
}

std::chrono::milliseconds AcceptBackoff::delay(Clock::time_point now) const
{
    if (ready(now)) {
        return std::chrono::milliseconds(0);
    }
    // Rounded up: a poll that wakes a little early would only go round again.
    return std::chrono::ceil<std::chrono::milliseconds>(retryTime_ - now);
}

void AcceptBackoff::onFailure(int error, Clock::time_point now)
{
    if (failures_ == 0) {
        logError("Failed to accept incoming connection: errno=%d", error);
    }
    ++failures_;
    lastError_ = error;
    retryTime_ = now + nextDelay_;
    nextDelay_ = std::min(nextDelay_ * 2, maxDelay_);
}

void AcceptBackoff::onAcceptWorked()
{
    if (failures_ == 0) {
        return;
    }
    logInfo("Accepting incoming connections again: failedAccepts=%llu; errno=%d",
            static_cast<unsigned long long>(failures_), lastError_);
    failures_ = 0;
    nextDelay_ = firstDelay_;
    retryTime_ = Clock::time_point{};
}

void AcceptBackoff::onRefused(int count, int limit)
{
    if (refusals_ == 0) {
        logWarning("Refusing incoming connections: connectionCount=%d; connectionLimit=%d", count, limit);
    }
    ++refusals_;
}

void AcceptBackoff::onKept()
{
    if (refusals_ == 0) {
        return;
    }
    logInfo("Accepting incoming connections again: refusedConnections=%llu",
            static_cast<unsigned long long>(refusals_));
    refusals_ = 0;
}

void AcceptBackoff::finish()
{
    if (failures_ != 0) {
        logInfo("Stopped accepting after failures: failedAccepts=%llu; errno=%d",
                static_cast<unsigned long long>(failures_), lastError_);
        failures_ = 0;
    }
    if (refusals_ != 0) {
        logInfo("Stopped accepting after refusals: refusedConnections=%llu",
                static_cast<unsigned long long>(refusals_));
        refusals_ = 0;
    }
}

}  // namespace Tarvent::VirtualChannel
