#pragma once

#include <cstdint>
#include <memory>

namespace Tarvent::VirtualChannel {

// Wire limits of one packet: a 16-byte header and at most 2024 payload bytes.
constexpr std::uint32_t kPacketHeaderSize = 16;
constexpr std::uint32_t kMaxPacketSize = 2040;
constexpr std::uint32_t kMaxPayloadSize = kMaxPacketSize - kPacketHeaderSize;

enum PacketType : std::uint8_t {
    Command = 0,
    Answer = 1,
    Notification = 2,
};

// One packet in memory: the decoded header (host byte order) and an owned
// payload array whose capacity is fixed at construction or by a copy.
// Invariant: payloadSize() bytes fit in the payload array. Not synchronised;
// owned by value by one thread at a time.
struct VCPacketHolder {
    std::uint32_t length = kPacketHeaderSize;
    std::uint8_t type = 0;
    std::uint8_t code = 0;
    std::uint8_t reserved[2] = {0, 0};
    std::uint64_t messageId = 0;
    std::unique_ptr<unsigned char[]> payload;

    // `length` = capacity + 16; no array for capacity 0. Throws std::bad_alloc.
    explicit VCPacketHolder(std::uint32_t capacity = 0);
    // Deep copy: the new holder's capacity is the source's payload size.
    VCPacketHolder(const VCPacketHolder& other);
    // Leaves the source with length 16 and no array.
    VCPacketHolder(VCPacketHolder&& other) noexcept;
    // Reallocates only when the payload sizes differ (or the array is too small).
    // Also serves assignment from an rvalue: there is no move assignment.
    VCPacketHolder& operator=(const VCPacketHolder& other);
    ~VCPacketHolder() = default;

    std::uint32_t capacity() const { return capacity_; }

    static std::int32_t payloadSize(const VCPacketHolder& packet);
    // Decodes the 16 wire bytes; the payload array is not touched.
    static void readHeader(const unsigned char* wire, VCPacketHolder& packet);
    // Encodes the 16 header bytes into `wire`.
    static void writeHeader(const VCPacketHolder& packet, unsigned char* wire);

private:
    std::uint32_t capacity_ = 0;
};

}  // namespace Tarvent::VirtualChannel
