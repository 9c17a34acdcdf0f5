#include "transport/VCPacketHolder.h"

#include <gtest/gtest.h>

#include <cstring>

namespace Tarvent::VirtualChannel {
namespace {

TEST(VCPacketHolderTest, HeaderBytesAreBigEndianAndRoundTrip)
{
    VCPacketHolder packet(24);
    packet.type = PacketType::Notification;
    packet.code = 9;
    packet.messageId = 0x0102030405060708ULL;
    unsigned char wire[16] = {};
    VCPacketHolder::writeHeader(packet, wire);

    const unsigned char expected[16] = {0, 0, 0, 0x28, 2, 9, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(0, std::memcmp(expected, wire, sizeof(wire)));

    wire[6] = 0xAB;
    wire[7] = 0xCD;
    VCPacketHolder back;
    VCPacketHolder::readHeader(wire, back);
    EXPECT_EQ(40u, back.length);
    EXPECT_EQ(PacketType::Notification, back.type);
    EXPECT_EQ(9, back.code);
    EXPECT_EQ(0xAB, back.reserved[0]);
    EXPECT_EQ(0xCD, back.reserved[1]);
    EXPECT_EQ(0x0102030405060708ULL, back.messageId);
    EXPECT_EQ(nullptr, back.payload) << "reading a header never touches the payload";
}

TEST(VCPacketHolderTest, ConstructionSizesTheHolder)
{
    const VCPacketHolder empty;
    EXPECT_EQ(16u, empty.length);
    EXPECT_EQ(0, VCPacketHolder::payloadSize(empty));
    EXPECT_EQ(nullptr, empty.payload);

    const VCPacketHolder sized(2024);
    EXPECT_EQ(2040u, sized.length);
    EXPECT_EQ(2024u, sized.capacity());
    EXPECT_NE(nullptr, sized.payload);
}

TEST(VCPacketHolderTest, CopiesAreDeepAndSizedToThePayload)
{
    VCPacketHolder source(100);
    source.length = 16 + 3;
    source.messageId = 5;
    source.reserved[1] = 7;
    std::memcpy(source.payload.get(), "xyz", 3);

    const VCPacketHolder copy(source);
    EXPECT_EQ(3u, copy.capacity());
    EXPECT_NE(source.payload.get(), copy.payload.get());
    EXPECT_EQ(0, std::memcmp("xyz", copy.payload.get(), 3));
    EXPECT_EQ(5u, copy.messageId);
    EXPECT_EQ(7, copy.reserved[1]);

    VCPacketHolder sameSize(3);
    const unsigned char* const kept = sameSize.payload.get();
    sameSize = source;
    EXPECT_EQ(kept, sameSize.payload.get()) << "equal payload sizes reuse the array";
    EXPECT_EQ(0, std::memcmp("xyz", sameSize.payload.get(), 3));

    VCPacketHolder otherSize(10);
    otherSize = source;
    EXPECT_EQ(3u, otherSize.capacity());
    EXPECT_EQ(19u, otherSize.length);
    EXPECT_EQ(0, std::memcmp("xyz", otherSize.payload.get(), 3));

    otherSize = otherSize;
    EXPECT_EQ(0, std::memcmp("xyz", otherSize.payload.get(), 3));
}

TEST(VCPacketHolderTest, MovedFromHolderIsEmpty)
{
    VCPacketHolder source(8);
    source.messageId = 3;
    const unsigned char* const array = source.payload.get();
    const VCPacketHolder target(std::move(source));
    EXPECT_EQ(array, target.payload.get());
    EXPECT_EQ(24u, target.length);
    EXPECT_EQ(0, VCPacketHolder::payloadSize(source));  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(nullptr, source.payload);                 // NOLINT(bugprone-use-after-move)
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
