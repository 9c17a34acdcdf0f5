#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/VCPacketHolder.h"

namespace Tarvent::VirtualChannel {

// The framing state of one connection: collects a 16-byte header, checks its
// length, collects the rest of the packet and decodes it. Reads never cross
// the end of the current packet. Used on the dispatcher's worker thread only.
class PacketReader {
public:
    enum class Result {
        NeedMore,       // the current packet is still incomplete
        PacketReady,    // packet() holds a complete packet until the next header completes
        InvalidLength,  // the header's length is outside 16..2040; the stream is unusable
    };

    PacketReader();

    // Where the next received bytes go and how many may go there at most
    // (0 once the stream proved invalid).
    unsigned char* writePointer() { return buffer_ + bytesReceived_; }
    std::size_t bytesWanted() const;

    // Accounts for `count` bytes just written at writePointer() (count <= bytesWanted()).
    Result commit(std::size_t count);

    const VCPacketHolder& packet() const { return packet_; }
    std::uint32_t bytesReceived() const { return bytesReceived_; }

private:
    std::uint32_t bytesReceived_ = 0;
    bool invalid_ = false;
    VCPacketHolder packet_;
    unsigned char buffer_[kMaxPacketSize] = {};
};

}  // namespace Tarvent::VirtualChannel
