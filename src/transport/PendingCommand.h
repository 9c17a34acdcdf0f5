#pragma once

#include <chrono>
#include <future>

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
    // Receives a copy of the answer packet or the time-out exception.
    std::promise<VCPacketHolder> promise;
};

}  // namespace Tarvent::VirtualChannel
