// Drives the connection framing with arbitrary byte streams and arbitrary
// chunking: the first byte seeds the chunk sizes, the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "transport/PacketReader.h"

using Tarvent::VirtualChannel::kMaxPacketSize;
using Tarvent::VirtualChannel::kPacketHeaderSize;
using Tarvent::VirtualChannel::PacketReader;
using Tarvent::VirtualChannel::VCPacketHolder;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    std::uint32_t chunkSeed = data[0] | 1u;
    ++data;
    --size;

    PacketReader reader;
    std::size_t offset = 0;
    while (offset < size) {
        const std::size_t wanted = reader.bytesWanted();
        if (wanted == 0 || wanted > kMaxPacketSize) {
            __builtin_trap();  // an invalid stream must stop asking, a valid one never overruns
        }
        chunkSeed = chunkSeed * 1103515245u + 12345u;
        std::size_t count = 1 + (chunkSeed >> 16) % wanted;
        if (count > size - offset) {
            count = size - offset;
        }
        std::memcpy(reader.writePointer(), data + offset, count);
        offset += count;
        const PacketReader::Result result = reader.commit(count);
        if (result == PacketReader::Result::InvalidLength) {
            break;
        }
        if (result == PacketReader::Result::PacketReady) {
            const VCPacketHolder& packet = reader.packet();
            if (packet.length < kPacketHeaderSize || packet.length > kMaxPacketSize) {
                __builtin_trap();
            }
            // Touch every payload byte so the sanitizers check the copy.
            volatile unsigned sum = 0;
            for (std::int32_t i = 0; i < VCPacketHolder::payloadSize(packet); ++i) {
                sum = sum + packet.payload[static_cast<std::size_t>(i)];
            }
        }
    }
    return 0;
}
