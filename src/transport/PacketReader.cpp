#include "transport/PacketReader.h"

#include <cstring>

namespace Tarvent::VirtualChannel {

PacketReader::PacketReader() : packet_(kMaxPayloadSize) {}

std::size_t PacketReader::bytesWanted() const
{
    if (invalid_) {
        return 0;
    }
    const std::uint32_t wanted = bytesReceived_ < kPacketHeaderSize ? kPacketHeaderSize : packet_.length;
    return wanted - bytesReceived_;
}

PacketReader::Result PacketReader::commit(std::size_t count)
{
    if (invalid_) {
        return Result::InvalidLength;
    }
    bytesReceived_ += static_cast<std::uint32_t>(count);
    if (bytesReceived_ < kPacketHeaderSize) {
        return Result::NeedMore;
    }
    if (bytesReceived_ == kPacketHeaderSize) {
        VCPacketHolder::readHeader(buffer_, packet_);
        if (packet_.length < kPacketHeaderSize || packet_.length > kMaxPacketSize) {
            invalid_ = true;
            // Never size a read or a copy by it; the caller drops the connection.
            return Result::InvalidLength;
        }
    }
    if (bytesReceived_ < packet_.length) {
        return Result::NeedMore;
    }
    const std::uint32_t size = packet_.length - kPacketHeaderSize;
    if (size > 0) {
        std::memcpy(packet_.payload.get(), buffer_ + kPacketHeaderSize, size);
    }
    bytesReceived_ = 0;
    return Result::PacketReady;
}

}  // namespace Tarvent::VirtualChannel
