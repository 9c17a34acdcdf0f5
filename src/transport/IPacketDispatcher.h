#pragma once

#include <cstdint>
#include <functional>

#include "transport/VCPacketHolder.h"

namespace Tarvent::VirtualChannel {

// The socket layer as the transmitter sees it.
class IPacketDispatcher {
public:
    // Called on the dispatcher's worker thread with the connection's own packet,
    // which the next packet overwrites: keep a copy of whatever is needed later.
    using PacketCallback = std::function<void(const VCPacketHolder&)>;
    // Names one accepted connection for the dispatcher's whole life (connection
    // indexes shift as others go; these never do and are never reused).
    using ConnectionId = std::uint64_t;
    static constexpr ConnectionId kNoConnection = 0;

    virtual ~IPacketDispatcher() = default;
    virtual PacketCallback getPacketCallback() = 0;
    // Must be set before the dispatcher starts.
    virtual void setPacketCallback(PacketCallback callback) = 0;
    // Writes one packet to the active connection; true when the socket took it.
    // Any thread.
    virtual bool send(const VCPacketHolder& packet) = 0;
    // The same, telling which connection took the packet (kNoConnection when
    // none did). Any thread.
    virtual ConnectionId sendToActive(const VCPacketHolder& packet) = 0;
    // Writes one packet to `connection`, active or not; false when that
    // connection is gone or the write failed. Any thread.
    virtual bool sendTo(ConnectionId connection, const VCPacketHolder& packet) = 0;
    // Inside the packet callback (worker thread): the connection the packet
    // came from. kNoConnection anywhere else.
    virtual ConnectionId sourceConnection() const = 0;
    // Whether a packet can still arrive from `connection`: it is open and the
    // worker still reads. Any thread.
    virtual bool isReading(ConnectionId connection) = 0;
};

}  // namespace Tarvent::VirtualChannel
