#include "support/ChannelTestClient.h"

#include <sys/socket.h>

namespace Tarvent::VirtualChannel::TestSupport {

namespace {

std::chrono::milliseconds remaining(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? left : std::chrono::milliseconds(0);
}

bool waitReadable(Socket& socket, std::chrono::steady_clock::time_point deadline)
{
    std::vector<Socket::PollEntry> entries{{socket.fd(), 0}};
    return Socket::pollForRead(entries, remaining(deadline)) > 0;
}

}  // namespace

ChannelTestClient::ChannelTestClient(int port, int receiveBuffer)
{
    if (receiveBuffer <= 0) {
        socket_ = Socket::connectLoopback(port);
        return;
    }
    // The buffer size must be set before connecting to take effect on the window.
    Socket socket = Socket::createTcp();
    socket.setReceiveBufferSize(receiveBuffer);
    socket_ = Socket::connectLoopback(port, std::move(socket));
}

std::vector<unsigned char> ChannelTestClient::encode(std::uint8_t type, std::uint64_t messageId,
                                                     const std::string& payload, std::uint8_t code)
{
    VCPacketHolder packet;
    packet.length = static_cast<std::uint32_t>(payload.size()) + kPacketHeaderSize;
    packet.type = type;
    packet.code = code;
    packet.messageId = messageId;
    std::vector<unsigned char> bytes(kPacketHeaderSize);
    VCPacketHolder::writeHeader(packet, bytes.data());
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

bool ChannelTestClient::sendPacket(std::uint8_t type, std::uint64_t messageId, const std::string& payload,
                                   std::uint8_t code)
{
    return sendRaw(encode(type, messageId, payload, code));
}

bool ChannelTestClient::sendRaw(const std::vector<unsigned char>& bytes)
{
    return socket_.sendAll(bytes.data(), bytes.size());
}

bool ChannelTestClient::readExactly(unsigned char* buffer, std::size_t size,
                                    std::chrono::steady_clock::time_point deadline)
{
    std::size_t done = 0;
    while (done < size) {
        if (!waitReadable(socket_, deadline)) {
            return false;
        }
        const long received = socket_.receive(buffer + done, size - done);
        if (received <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(received);
    }
    return true;
}

std::optional<VCPacketHolder> ChannelTestClient::readPacket(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    unsigned char header[kPacketHeaderSize];
    if (!readExactly(header, sizeof(header), deadline)) {
        return std::nullopt;
    }
    VCPacketHolder probe;
    VCPacketHolder::readHeader(header, probe);
    if (probe.length < kPacketHeaderSize || probe.length > kMaxPacketSize) {
        return std::nullopt;
    }
    VCPacketHolder packet(probe.length - kPacketHeaderSize);
    VCPacketHolder::readHeader(header, packet);
    if (!readExactly(packet.payload.get(), packet.length - kPacketHeaderSize, deadline)) {
        return std::nullopt;
    }
    return packet;
}

std::string ChannelTestClient::payloadOf(const VCPacketHolder& packet)
{
    const auto size = VCPacketHolder::payloadSize(packet);
    return size > 0 ? std::string(reinterpret_cast<const char*>(packet.payload.get()), static_cast<std::size_t>(size))
                    : std::string();
}

bool ChannelTestClient::waitForClose(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    unsigned char scratch[4096];
    while (waitReadable(socket_, deadline)) {
        if (socket_.receive(scratch, sizeof(scratch)) <= 0) {
            return true;
        }
    }
    return false;
}

void ChannelTestClient::shutdownSending()
{
    ::shutdown(socket_.fd(), SHUT_WR);
}

void ChannelTestClient::reset()
{
    socket_.setLingerZero();
    socket_.close();
}

}  // namespace Tarvent::VirtualChannel::TestSupport
