#pragma once

#include <chrono>
#include <future>
#include <optional>

#include "transport/IPacketDispatcher.h"
#include "transport/VCPacketHolder.h"

namespace Tarvent::VirtualChannel {

// One command waiting for its answer; owned by the transmitter's pending map
// and touched only under the transmitter's state mutex.
struct PendingCommand {
    bool synchronous = false;
    std::chrono::steady_clock::time_point deadline;
    // Where the command went; its answer can only come back from there.
    // kNoConnection when no connection took it.
    IPacketDispatcher::ConnectionId connection = IPacketDispatcher::kNoConnection;
    // Receives a copy of the answer packet, or nothing when the command
    // timed out. The waiting thread raises the time-out itself: an exception
    // handed across threads through the promise would be freed by whichever
    // thread drops the last reference, racing the catch that reads it.
    std::promise<std::optional<VCPacketHolder>> promise;
};

}  // namespace Tarvent::VirtualChannel
