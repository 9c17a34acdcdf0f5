#include "EchoServer.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "transport/VCPacketHolder.h"

namespace Tarvent::VirtualChannel {

namespace {

bool readExactly(Socket& socket, unsigned char* buffer, std::size_t size)
{
    for (std::size_t done = 0; done < size;) {
        const long received = socket.receive(buffer + done, size - done);
        if (received <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(received);
    }
    return true;
}

}  // namespace

std::size_t readFramedPacket(Socket& socket, unsigned char* buffer)
{
    if (!readExactly(socket, buffer, kPacketHeaderSize)) {
        return 0;
    }
    VCPacketHolder header;
    VCPacketHolder::readHeader(buffer, header);
    if (header.length < kPacketHeaderSize || header.length > kMaxPacketSize ||
        !readExactly(socket, buffer + kPacketHeaderSize, header.length - kPacketHeaderSize)) {
        return 0;
    }
    return header.length;
}

EchoServer::EchoServer() : listener_(Socket::createTcp())
{
    if (!listener_.bindLoopback(0) || !listener_.listen(1)) {
        std::fprintf(stderr, "echo listener failed\n");
        std::exit(1);
    }
    thread_ = std::thread([this] { serve(); });
}

EchoServer::~EchoServer()
{
    // Ends an accept still waiting (a bench that gave up before connecting).
    listener_.shutdownBoth();
    thread_.join();
}

void EchoServer::serve()
{
    bool ignored = false;
    Socket connection = listener_.accept(ignored);
    connection.setNoDelay();
    std::vector<unsigned char> buffer(kMaxPacketSize);
    std::size_t length = 0;
    while ((length = readFramedPacket(connection, buffer.data())) > 0) {
        buffer[4] = PacketType::Answer;  // the type byte, as the engine answers
        if (!connection.sendAll(buffer.data(), length)) {
            return;
        }
    }
}

}  // namespace Tarvent::VirtualChannel
