#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "transport/VCPacketHolder.h"

namespace Tarvent::VirtualChannel::TestSupport {

// Polls `condition` until it holds or `timeout` passes (for conditions that
// cannot signal, such as log lines written on another thread).
template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Collects copies of delivered packets; any thread pushes, the test pops.
class PacketQueue {
public:
    void push(const VCPacketHolder& packet)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        packets_.emplace_back(packet);
        arrived_.notify_all();
    }

    std::optional<VCPacketHolder> pop(std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!arrived_.wait_for(lock, timeout, [this] { return !packets_.empty(); })) {
            return std::nullopt;
        }
        VCPacketHolder packet(std::move(packets_.front()));
        packets_.pop_front();
        return packet;
    }

    std::size_t size()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return packets_.size();
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<VCPacketHolder> packets_;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
