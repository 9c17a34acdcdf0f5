#pragma once

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "sip/SipError.h"

namespace Tarvent::VirtualChannel::TestSupport {

// The text of the error that `operation` throws (a SipError as its info());
// "" when it throws nothing.
inline std::string errorOf(const std::function<void()>& operation)
{
    try {
        operation();
    } catch (const std::runtime_error& error) {
        return error.what();
    } catch (const SipError& error) {
        return error.info();
    }
    return "";
}

// Polls `condition` until it holds or `timeout` has passed.
inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace Tarvent::VirtualChannel::TestSupport
