#include "transport/PacketDispatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/CapturingAppender.h"
#include "support/ChannelTestClient.h"
#include "support/FileLimit.h"
#include "transport/TransportTestUtil.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;
using TestSupport::ChannelTestClient;
using TestSupport::waitUntil;

VCPacketHolder makePacket(std::uint64_t messageId, const std::string& payload)
{
    VCPacketHolder packet(static_cast<std::uint32_t>(payload.size()));
    packet.type = PacketType::Answer;
    packet.messageId = messageId;
    if (!payload.empty()) {
        std::memcpy(packet.payload.get(), payload.data(), payload.size());
    }
    return packet;
}

class PacketDispatcherTest : public ::testing::Test {
protected:
    // Short poll and idle times keep each case in milliseconds.
    void startDispatcher(std::chrono::milliseconds idleTimeout = 60000ms, std::chrono::milliseconds sendTimeout = 2000ms,
                         int maxConnections = PacketDispatcher::kDefaultMaxConnections)
    {
        dispatcher = std::make_unique<PacketDispatcher>(10ms, idleTimeout, sendTimeout, maxConnections);
        dispatcher->setPacketCallback([this](const VCPacketHolder& packet) {
            if (throwOnId != 0 && packet.messageId == throwOnId) {
                throw std::runtime_error("callback refused");
            }
            received.push(packet);
        });
        ASSERT_TRUE(dispatcher->start());
        ASSERT_GT(dispatcher->port(), 0);
    }

    void TearDown() override
    {
        if (dispatcher) {
            dispatcher->requestStop();
            dispatcher->join();
        }
    }

    // Connects and waits until the dispatcher has accepted the connection as number `index`.
    std::unique_ptr<ChannelTestClient> connect(int index, int receiveBuffer = 0)
    {
        auto client = std::make_unique<ChannelTestClient>(dispatcher->port(), receiveBuffer);
        EXPECT_TRUE(client->connected());
        const std::string accepted = "Accepted incoming connection: connectionId=" + std::to_string(index) +
                                     "; connectionCount=" + std::to_string(index + 1);
        EXPECT_TRUE(waitUntil([&] { return capture.contains(accepted); })) << accepted;
        return client;
    }

    bool logged(const std::string& text)
    {
        return waitUntil([&] { return capture.contains(text); });
    }

    std::size_t countLogged(const std::string& text)
    {
        const auto all = capture.messages();
        return static_cast<std::size_t>(
            std::count_if(all.begin(), all.end(), [&](const std::string& m) { return m.find(text) != std::string::npos; }));
    }

    // Sends one command on `client` and expects it delivered.
    void expectServed(ChannelTestClient& client, std::uint64_t messageId)
    {
        ASSERT_TRUE(client.sendPacket(PacketType::Command, messageId, "still served"));
        const auto packet = received.pop();
        ASSERT_TRUE(packet);
        EXPECT_EQ(messageId, packet->messageId);
    }

    TestSupport::LogCapture capture;
    TestSupport::PacketQueue received;
    std::atomic<std::uint64_t> throwOnId{0};
    std::unique_ptr<PacketDispatcher> dispatcher;
};

TEST_F(PacketDispatcherTest, ReassemblesSplitPacketsAndDeliversBackToBackPackets)
{
    startDispatcher();
    auto client = connect(0);

    auto split = ChannelTestClient::encode(PacketType::Command, 0x0102030405060708ULL, "hello");
    split[6] = 0xEE;  // reserved bytes travel unchanged
    for (const unsigned char byte : split) {
        ASSERT_TRUE(client->sendRaw({byte}));
    }
    auto twoPackets = ChannelTestClient::encode(PacketType::Command, 2, "second");
    const auto empty = ChannelTestClient::encode(PacketType::Notification, 3, "", 4);
    twoPackets.insert(twoPackets.end(), empty.begin(), empty.end());
    ASSERT_TRUE(client->sendRaw(twoPackets));

    auto first = received.pop();
    ASSERT_TRUE(first);
    EXPECT_EQ(0x0102030405060708ULL, first->messageId);
    EXPECT_EQ("hello", ChannelTestClient::payloadOf(*first));
    EXPECT_EQ(0xEE, first->reserved[0]);
    auto second = received.pop();
    ASSERT_TRUE(second);
    EXPECT_EQ("second", ChannelTestClient::payloadOf(*second));
    auto third = received.pop();
    ASSERT_TRUE(third);
    EXPECT_EQ(16u, third->length);
    EXPECT_EQ(PacketType::Notification, third->type);
    EXPECT_EQ(4, third->code);
    EXPECT_EQ(0u, received.size());
}

TEST_F(PacketDispatcherTest, TakesOverAListenerWhoseClientsConnectedEarly)
{
    Socket listening = Socket::createTcp();
    ASSERT_TRUE(listening.bindLoopback(0));
    ASSERT_TRUE(listening.setNoDelay());
    ASSERT_TRUE(listening.listen(PacketDispatcher::kListenBacklog));
    const int port = listening.localPort();
    // The client connects and sends before anyone accepts: the kernel holds both.
    ChannelTestClient early(port);
    ASSERT_TRUE(early.connected());
    ASSERT_TRUE(early.sendRaw(ChannelTestClient::encode(PacketType::Command, 41, "sent early")));

    dispatcher = std::make_unique<PacketDispatcher>(10ms);
    dispatcher->setPacketCallback([this](const VCPacketHolder& packet) { received.push(packet); });
    ASSERT_TRUE(dispatcher->start(std::move(listening)));
    EXPECT_EQ(port, dispatcher->port());
    EXPECT_FALSE(dispatcher->start(Socket::createTcp()));

    const auto packet = received.pop();
    ASSERT_TRUE(packet);
    EXPECT_EQ(41u, packet->messageId);
    EXPECT_EQ("sent early", ChannelTestClient::payloadOf(*packet));
    ASSERT_TRUE(dispatcher->send(makePacket(41, "answer")));
    const auto answer = early.readPacket(5s);
    ASSERT_TRUE(answer);
    EXPECT_EQ("answer", ChannelTestClient::payloadOf(*answer));
}

TEST_F(PacketDispatcherTest, RefusesAnInvalidListener)
{
    PacketDispatcher idle;
    EXPECT_FALSE(idle.start(Socket()));
    EXPECT_EQ(-1, idle.port());
}

class MalformedLengthTest : public PacketDispatcherTest, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(MalformedLengthTest, ClosesOnlyTheOffendingConnection)
{
    startDispatcher();
    auto good = connect(0);
    auto bad = connect(1);

    const std::uint32_t length = GetParam();
    auto bytes = ChannelTestClient::encode(PacketType::Command, 9, "");
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<unsigned char>(length >> (24 - 8 * i));
    }
    bytes.resize(2100, 0x41);
    ASSERT_TRUE(bad->sendRaw(bytes));

    EXPECT_TRUE(bad->waitForClose());
    EXPECT_TRUE(logged("Invalid packet length: length=" + std::to_string(length) +
                       "; connectionId=1; connectionCount=2"));
    EXPECT_TRUE(logged("Removed socket connection: oldConnectionId=1; connectionCount=1"));

    ASSERT_TRUE(good->sendPacket(PacketType::Command, 10, "still here"));
    auto packet = received.pop();
    ASSERT_TRUE(packet);
    EXPECT_EQ(10u, packet->messageId);
    EXPECT_TRUE(dispatcher->send(makePacket(11, "reply")));
    auto reply = good->readPacket();
    ASSERT_TRUE(reply);
    EXPECT_EQ(11u, reply->messageId);
    EXPECT_EQ("reply", ChannelTestClient::payloadOf(*reply));
}

INSTANTIATE_TEST_SUITE_P(Lengths, MalformedLengthTest, ::testing::Values(0u, 15u, 2041u, 0xFFFFFFFFu));

TEST_F(PacketDispatcherTest, RemovesConnectionsThePeerClosedOrReset)
{
    startDispatcher();
    auto orderly = connect(0);
    orderly->close();
    EXPECT_TRUE(logged("Removed socket connection: oldConnectionId=0; connectionCount=0"));
    EXPECT_TRUE(logged("Changed active socket connection: oldConnectionId=0; newConnectionId=-1; connectionCount=0"));

    capture.store().clear();
    auto reset = connect(0);
    ASSERT_TRUE(reset->sendRaw({0, 0}));  // half a header, then the reset
    reset->reset();
    EXPECT_TRUE(logged("Removed socket connection: oldConnectionId=0; connectionCount=0"));

    // The listener goes on accepting.
    auto next = connect(0);
    ASSERT_TRUE(next->sendPacket(PacketType::Command, 1, "x"));
    EXPECT_TRUE(received.pop());
}

TEST_F(PacketDispatcherTest, ActiveConnectionFollowsReadsAndShiftsOnRemoval)
{
    startDispatcher();
    auto first = connect(0);
    EXPECT_TRUE(logged("Changed active socket connection: oldConnectionId=-1; newConnectionId=0; connectionCount=1"));
    auto second = connect(1);
    auto third = connect(2);

    ASSERT_TRUE(third->sendPacket(PacketType::Command, 1, "from third"));
    ASSERT_TRUE(received.pop());
    EXPECT_TRUE(logged("Changed active socket connection: oldConnectionId=0; newConnectionId=2; connectionCount=3"));

    first->close();
    EXPECT_TRUE(logged("Removed socket connection: oldConnectionId=0; connectionCount=2"));
    EXPECT_TRUE(logged("Changed active socket connection: oldConnectionId=2; newConnectionId=1; connectionCount=2"));

    ASSERT_TRUE(dispatcher->send(makePacket(5, "to the active one")));
    auto packet = third->readPacket();
    ASSERT_TRUE(packet);
    EXPECT_EQ(5u, packet->messageId);
    EXPECT_EQ("to the active one", ChannelTestClient::payloadOf(*packet));
}

TEST_F(PacketDispatcherTest, ClosesIdleConnectionsButNeverTheActiveOne)
{
    startDispatcher(50ms);
    auto active = connect(0);
    auto idle = connect(1);
    EXPECT_TRUE(idle->waitForClose());
    EXPECT_TRUE(logged("Closing idle connection: connectionId=1; connectionCount=2"));

    // A later idle connection ends too; by then the active one has been silent
    // for more than two idle periods and must still be open.
    auto later = connect(1);
    EXPECT_TRUE(later->waitForClose());
    EXPECT_FALSE(capture.contains("Closing idle connection: connectionId=0"));
    ASSERT_TRUE(dispatcher->send(makePacket(3, "")));
    auto packet = active->readPacket();
    ASSERT_TRUE(packet);
    EXPECT_EQ(3u, packet->messageId);
}

TEST_F(PacketDispatcherTest, SendWithoutConnectionIsLoggedAndFails)
{
    startDispatcher();
    EXPECT_FALSE(dispatcher->send(makePacket(42, "lost")));
    EXPECT_TRUE(capture.contains("Unable to send packet because no connection is active: messageId=42"));
}

TEST_F(PacketDispatcherTest, StopRequestEndsTheWorker)
{
    startDispatcher();
    auto client = connect(0);
    dispatcher->requestStop();
    dispatcher->join();
    EXPECT_TRUE(capture.contains("Closing passive socket"));
    EXPECT_TRUE(capture.contains("Stopped worker thread"));
    EXPECT_FALSE(ChannelTestClient(dispatcher->port()).connected());
    dispatcher.reset();
}

TEST_F(PacketDispatcherTest, ThrowingCallbackCostsOnlyThatPacket)
{
    startDispatcher();
    throwOnId = 1;
    auto client = connect(0);
    ASSERT_TRUE(client->sendPacket(PacketType::Command, 1, "bad"));
    ASSERT_TRUE(client->sendPacket(PacketType::Command, 2, "good"));
    auto packet = received.pop();
    ASSERT_TRUE(packet);
    EXPECT_EQ(2u, packet->messageId);
    EXPECT_TRUE(capture.contains("Packet callback failed: messageId=1; error=callback refused"));
}

TEST_F(PacketDispatcherTest, ClientThatStopsReadingIsClosedAndOthersAreServed)
{
    startDispatcher(60000ms, 100ms);
    auto stalled = connect(0, 4096);
    const VCPacketHolder big = makePacket(1, std::string(2024, 'q'));
    int sent = 0;
    while (dispatcher->send(big) && sent < 100000) {
        ++sent;
    }
    EXPECT_LT(sent, 100000);
    EXPECT_TRUE(capture.contains("Failed to write to socket: errno="));
    EXPECT_TRUE(logged("Removed socket connection: oldConnectionId=0; connectionCount=0"));

    auto fresh = connect(0);
    ASSERT_TRUE(fresh->sendPacket(PacketType::Command, 7, "hi"));
    ASSERT_TRUE(received.pop());
    ASSERT_TRUE(dispatcher->send(makePacket(8, "back")));
    auto packet = fresh->readPacket();
    ASSERT_TRUE(packet);
    EXPECT_EQ(8u, packet->messageId);
}

TEST_F(PacketDispatcherTest, ConnectionsBeyondTheLimitAreRefusedAndLoggedOnce)
{
    startDispatcher(60000ms, 2000ms, 2);
    auto first = connect(0);
    auto second = connect(1);
    ChannelTestClient refused(dispatcher->port());
    ChannelTestClient alsoRefused(dispatcher->port());
    EXPECT_TRUE(refused.waitForClose());
    EXPECT_TRUE(alsoRefused.waitForClose());
    EXPECT_EQ(1u, countLogged("Refusing incoming connections: connectionCount=2; connectionLimit=2"));
    expectServed(*first, 1);
    expectServed(*second, 2);

    first->close();
    ASSERT_TRUE(logged("Removed socket connection: oldConnectionId=0; connectionCount=1"));
    auto third = connect(1);
    EXPECT_TRUE(logged("Accepting incoming connections again: refusedConnections=2"));
    expectServed(*third, 3);
}

TEST_F(PacketDispatcherTest, OutOfDescriptorsTheListenerRestsWhileOpenConnectionsAreServed)
{
    startDispatcher();
    auto keeper = connect(0);
    std::unique_ptr<ChannelTestClient> served;
    std::unique_ptr<ChannelTestClient> queued;
    {
        // Three numbers left: a client and its accepted end, then a client
        // whose accept finds none.
        TestSupport::FileLimit limit(3);
        ASSERT_TRUE(limit.applied());
        served = connect(1);
        queued = std::make_unique<ChannelTestClient>(dispatcher->port());
        ASSERT_TRUE(queued->connected());
        ASSERT_TRUE(logged("Failed to accept incoming connection: errno="));
        // Long enough for a spinning worker to fail thousands of times.
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(1u, countLogged("Failed to accept incoming connection"));
        expectServed(*keeper, 1);
        expectServed(*served, 2);
    }
    // A descriptor comes free: the waiting client is taken at the next try.
    served->close();
    ASSERT_TRUE(logged("Accepted incoming connection: connectionId=1; connectionCount=2"));
    EXPECT_TRUE(logged("Accepting incoming connections again: failedAccepts="));
    expectServed(*queued, 3);
    EXPECT_EQ(1u, countLogged("Failed to accept incoming connection"));
}

TEST_F(PacketDispatcherTest, SendersRaceWithConnectionsComingAndGoing)
{
    startDispatcher(60000ms, 50ms);
    auto first = connect(0);
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders;
    for (int t = 0; t < 3; ++t) {
        senders.emplace_back([&, t] {
            for (std::uint64_t i = 0; !stop && i < 500; ++i) {
                dispatcher->send(makePacket(static_cast<std::uint64_t>(t) << 32 | i, "payload"));
                std::this_thread::yield();
            }
        });
    }
    for (int i = 0; i < 20; ++i) {
        ChannelTestClient churn(dispatcher->port());
        ASSERT_TRUE(churn.sendPacket(PacketType::Command, 100 + static_cast<std::uint64_t>(i), "churn"));
        ASSERT_TRUE(received.pop());
        if (i % 2 == 0) {
            churn.reset();
        }
    }
    stop = true;
    for (auto& sender : senders) {
        sender.join();
    }
    EXPECT_FALSE(capture.contains("Failed to poll sockets"));
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
