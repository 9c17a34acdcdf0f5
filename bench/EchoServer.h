#pragma once

#include <cstddef>
#include <thread>

#include "platform/Socket.h"

namespace Tarvent::VirtualChannel {

// Reads one framed packet (header and payload) into `buffer`, which holds
// kMaxPacketSize bytes; returns its length, or 0 when the connection ended or
// the header's length is out of range.
std::size_t readFramedPacket(Socket& socket, unsigned char* buffer);

// The benches' yardstick: a plain blocking server on loopback that accepts
// one connection and writes every framed packet back as an answer, served on
// a thread of its own. Constructed and destroyed on the bench thread; a
// client that connected must close its connection before the server is
// destroyed.
class EchoServer {
public:
    EchoServer();
    ~EchoServer();

    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;

    int port() const { return listener_.localPort(); }

private:
    void serve();

    Socket listener_;
    std::thread thread_;
};

}  // namespace Tarvent::VirtualChannel
