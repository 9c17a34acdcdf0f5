#include "transport/VCPacketHolder.h"

#include <cstring>

namespace Tarvent::VirtualChannel {

namespace {

std::unique_ptr<unsigned char[]> allocatePayload(std::uint32_t capacity)
{
    return capacity == 0 ? nullptr : std::unique_ptr<unsigned char[]>(new unsigned char[capacity]);
}

std::uint32_t copyableSize(const VCPacketHolder& packet)
{
    const std::int32_t size = VCPacketHolder::payloadSize(packet);
    return size > 0 ? static_cast<std::uint32_t>(size) : 0;
}

}  // namespace

VCPacketHolder::VCPacketHolder(std::uint32_t capacity)
    : length(capacity + kPacketHeaderSize), payload(allocatePayload(capacity)), capacity_(capacity)
{
}

VCPacketHolder::VCPacketHolder(const VCPacketHolder& other)
    : length(other.length),
      type(other.type),
      code(other.code),
      reserved{other.reserved[0], other.reserved[1]},
      messageId(other.messageId),
      payload(allocatePayload(copyableSize(other))),
      capacity_(copyableSize(other))
{
    if (capacity_ > 0) {
        std::memcpy(payload.get(), other.payload.get(), capacity_);
    }
}

VCPacketHolder::VCPacketHolder(VCPacketHolder&& other) noexcept
    : length(other.length),
      type(other.type),
      code(other.code),
      reserved{other.reserved[0], other.reserved[1]},
      messageId(other.messageId),
      payload(std::move(other.payload)),
      capacity_(other.capacity_)
{
    other.length = kPacketHeaderSize;
    other.capacity_ = 0;
}

VCPacketHolder& VCPacketHolder::operator=(const VCPacketHolder& other)
{
    if (this == &other) {
        return *this;
    }
    const std::uint32_t size = copyableSize(other);
    if (size != copyableSize(*this) || size > capacity_) {
        payload = allocatePayload(size);
        capacity_ = size;
    }
    length = other.length;
    type = other.type;
    code = other.code;
    reserved[0] = other.reserved[0];
    reserved[1] = other.reserved[1];
    messageId = other.messageId;
    if (size > 0) {
        std::memcpy(payload.get(), other.payload.get(), size);
    }
    return *this;
}

std::int32_t VCPacketHolder::payloadSize(const VCPacketHolder& packet)
{
    return static_cast<std::int32_t>(packet.length - kPacketHeaderSize);
}

void VCPacketHolder::readHeader(const unsigned char* wire, VCPacketHolder& packet)
{
    packet.length = (std::uint32_t{wire[0]} << 24) | (std::uint32_t{wire[1]} << 16) |
                    (std::uint32_t{wire[2]} << 8) | std::uint32_t{wire[3]};
    packet.type = wire[4];
    packet.code = wire[5];
    packet.reserved[0] = wire[6];
    packet.reserved[1] = wire[7];
    std::uint64_t id = 0;
    for (int i = 8; i < 16; ++i) {
        id = (id << 8) | wire[i];
    }
    packet.messageId = id;
}

void VCPacketHolder::writeHeader(const VCPacketHolder& packet, unsigned char* wire)
{
    for (int i = 0; i < 4; ++i) {
        wire[i] = static_cast<unsigned char>(packet.length >> (24 - 8 * i));
    }
    wire[4] = packet.type;
    wire[5] = packet.code;
    wire[6] = packet.reserved[0];
    wire[7] = packet.reserved[1];
    for (int i = 0; i < 8; ++i) {
        wire[8 + i] = static_cast<unsigned char>(packet.messageId >> (56 - 8 * i));
    }
}

}  // namespace Tarvent::VirtualChannel
