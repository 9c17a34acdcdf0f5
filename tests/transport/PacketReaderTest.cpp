#include "transport/PacketReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support/ChannelTestClient.h"

namespace Tarvent::VirtualChannel {
namespace {

using TestSupport::ChannelTestClient;

// Feeds `bytes` in chunks of at most `chunk` bytes, never more than the reader
// wants, and returns the payloads of the packets it completed.
std::vector<std::string> feed(PacketReader& reader, const std::vector<unsigned char>& bytes, std::size_t chunk,
                              bool& invalid)
{
    std::vector<std::string> payloads;
    invalid = false;
    std::size_t offset = 0;
    while (offset < bytes.size() && !invalid) {
        const std::size_t count = std::min({chunk, reader.bytesWanted(), bytes.size() - offset});
        std::memcpy(reader.writePointer(), bytes.data() + offset, count);
        offset += count;
        switch (reader.commit(count)) {
        case PacketReader::Result::PacketReady:
            payloads.push_back(ChannelTestClient::payloadOf(reader.packet()));
            break;
        case PacketReader::Result::InvalidLength:
            invalid = true;
            break;
        case PacketReader::Result::NeedMore:
            break;
        }
    }
    return payloads;
}

TEST(PacketReaderTest, FramesPacketsWhateverTheChunking)
{
    std::vector<unsigned char> stream = ChannelTestClient::encode(PacketType::Command, 1, "first");
    const auto empty = ChannelTestClient::encode(PacketType::Answer, 2, "");
    const auto full = ChannelTestClient::encode(PacketType::Command, 3, std::string(2024, 'z'));
    stream.insert(stream.end(), empty.begin(), empty.end());
    stream.insert(stream.end(), full.begin(), full.end());

    for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{16}, std::size_t{5000}}) {
        PacketReader reader;
        bool invalid = false;
        const auto payloads = feed(reader, stream, chunk, invalid);
        EXPECT_FALSE(invalid);
        ASSERT_EQ(3u, payloads.size()) << "chunk=" << chunk;
        EXPECT_EQ("first", payloads[0]);
        EXPECT_EQ("", payloads[1]);
        EXPECT_EQ(std::string(2024, 'z'), payloads[2]);
        EXPECT_EQ(3u, reader.packet().messageId);
        EXPECT_EQ(0u, reader.bytesReceived());
    }
}

TEST(PacketReaderTest, RejectsLengthsOutsideTheWireLimits)
{
    for (const std::uint32_t length : {0u, 15u, 2041u, 0xFFFFFFFFu}) {
        std::vector<unsigned char> stream = ChannelTestClient::encode(PacketType::Command, 1, "");
        stream[0] = static_cast<unsigned char>(length >> 24);
        stream[1] = static_cast<unsigned char>(length >> 16);
        stream[2] = static_cast<unsigned char>(length >> 8);
        stream[3] = static_cast<unsigned char>(length);
        stream.resize(3000, 0x55);

        PacketReader reader;
        bool invalid = false;
        EXPECT_TRUE(feed(reader, stream, 4096, invalid).empty());
        EXPECT_TRUE(invalid) << "length=" << length;
        EXPECT_EQ(length, reader.packet().length);
        EXPECT_EQ(0u, reader.bytesWanted()) << "an invalid stream asks for nothing more";
    }
}

TEST(PacketReaderTest, AcceptsTheBoundaryLengths)
{
    PacketReader reader;
    bool invalid = false;
    auto stream = ChannelTestClient::encode(PacketType::Command, 1, std::string(2024, 'a'));
    const auto header = ChannelTestClient::encode(PacketType::Command, 2, "");
    stream.insert(stream.end(), header.begin(), header.end());
    EXPECT_EQ(2u, feed(reader, stream, 4096, invalid).size());
    EXPECT_FALSE(invalid);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
