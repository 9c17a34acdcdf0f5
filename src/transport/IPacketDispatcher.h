#pragma once

#include <functional>

#include "transport/VCPacketHolder.h"

namespace Tarvent::VirtualChannel {

// The socket layer as the transmitter sees it.
class IPacketDispatcher {
public:
    // Called on the dispatcher's worker thread with the connection's own packet,
    // which the next packet overwrites: keep a copy of whatever is needed later.
    using PacketCallback = std::function<void(const VCPacketHolder&)>;

    virtual ~IPacketDispatcher() = default;
    virtual PacketCallback getPacketCallback() = 0;
    // Must be set before the dispatcher starts.
    virtual void setPacketCallback(PacketCallback callback) = 0;
    // Writes one packet to the active connection; true when the socket took it.
    // Any thread.
    virtual bool send(const VCPacketHolder& packet) = 0;
};

}  // namespace Tarvent::VirtualChannel
