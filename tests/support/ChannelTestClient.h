#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Socket.h"
#include "transport/VCPacketHolder.h"

namespace Tarvent::VirtualChannel::TestSupport {

// Stands in for the channel driver: a blocking loopback client that sends
// framed packets (or arbitrary raw bytes) and reads framed packets back.
// One thread at a time.
class ChannelTestClient {
public:
    // Connects to 127.0.0.1:port; `receiveBuffer` > 0 shrinks the socket's
    // receive buffer first (for clients that stop reading).
    explicit ChannelTestClient(int port, int receiveBuffer = 0);

    bool connected() const { return socket_.valid(); }

    // The wire bytes of one packet.
    static std::vector<unsigned char> encode(std::uint8_t type, std::uint64_t messageId, const std::string& payload,
                                             std::uint8_t code = 0);
    bool sendPacket(std::uint8_t type, std::uint64_t messageId, const std::string& payload, std::uint8_t code = 0);
    bool sendRaw(const std::vector<unsigned char>& bytes);

    // The next complete packet, or nothing when none arrived in time or the
    // connection ended.
    std::optional<VCPacketHolder> readPacket(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    static std::string payloadOf(const VCPacketHolder& packet);

    // True once the engine closed the connection (EOF or reset) within `timeout`;
    // any data still arriving is discarded.
    bool waitForClose(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Orderly close (FIN).
    void close() { socket_.close(); }
    // Ends the sending direction only (FIN); answers can still be read.
    void shutdownSending();
    // Abortive close (RST).
    void reset();

private:
    bool readExactly(unsigned char* buffer, std::size_t size, std::chrono::steady_clock::time_point deadline);

    Socket socket_;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
