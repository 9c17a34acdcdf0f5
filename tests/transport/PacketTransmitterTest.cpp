#include "transport/PacketTransmitter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/CapturingAppender.h"
#include "support/ChannelTestClient.h"
#include "transport/PacketDispatcher.h"
#include "transport/TimeoutException.h"
#include "transport/TransportTestUtil.h"
#include "transport/VirtualChannelException.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;
using TestSupport::ChannelTestClient;
using TestSupport::waitUntil;

// Records what the transmitter sends and injects packets as the worker would.
class FakeDispatcher : public IPacketDispatcher {
public:
    PacketCallback getPacketCallback() override { return callback_; }
    void setPacketCallback(PacketCallback callback) override { callback_ = std::move(callback); }
    bool send(const VCPacketHolder& packet) override { return sendToActive(packet) != kNoConnection; }
    ConnectionId sendToActive(const VCPacketHolder& packet) override
    {
        sent.push(packet);
        return kActive;
    }
    bool sendTo(ConnectionId connection, const VCPacketHolder& packet) override
    {
        sentTo.push_back(connection);
        sent.push(packet);
        return true;
    }
    ConnectionId sourceConnection() const override { return source; }
    bool isReading(ConnectionId connection) override { return reading && connection != kNoConnection; }

    void inject(std::uint8_t type, std::uint64_t messageId, const std::string& payload, std::uint8_t code = 0)
    {
        VCPacketHolder packet(static_cast<std::uint32_t>(payload.size()));
        packet.type = type;
        packet.code = code;
        packet.messageId = messageId;
        if (!payload.empty()) {
            std::memcpy(packet.payload.get(), payload.data(), payload.size());
        }
        callback_(packet);
    }

    static constexpr ConnectionId kActive = 1;

    TestSupport::PacketQueue sent;
    // The connections that sendTo() wrote to, in order (test thread only).
    std::vector<ConnectionId> sentTo;
    // What the injected packets came from.
    ConnectionId source = kActive;
    // Whether the connections still read (false: as after the worker ended).
    std::atomic<bool> reading{true};

private:
    PacketCallback callback_;
};

// What the handlers saw; handlers run on other threads.
struct HandlerLog {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<std::uint64_t, std::string>> commands;
    std::vector<std::pair<std::uint64_t, std::string>> answers;
    std::vector<std::uint64_t> timeouts;
    std::vector<std::pair<int, std::string>> notifications;

    template <typename Condition>
    bool waitFor(Condition condition)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 10s, condition);
    }
};

HandlerLog& logOf(void* context)
{
    return *static_cast<HandlerLog*>(context);
}

void onCommand(void* context, const void* payload, int size, std::uint64_t messageId)
{
    auto& log = logOf(context);
    const std::lock_guard<std::mutex> lock(log.mutex);
    log.commands.emplace_back(messageId, std::string(static_cast<const char*>(payload), static_cast<std::size_t>(size)));
    log.changed.notify_all();
}

void onAnswer(void* context, const void* payload, int size, std::uint64_t messageId)
{
    auto& log = logOf(context);
    const std::lock_guard<std::mutex> lock(log.mutex);
    log.answers.emplace_back(messageId, std::string(static_cast<const char*>(payload), static_cast<std::size_t>(size)));
    log.changed.notify_all();
}

void onTimeout(void* context, std::uint64_t messageId)
{
    auto& log = logOf(context);
    const std::lock_guard<std::mutex> lock(log.mutex);
    log.timeouts.push_back(messageId);
    log.changed.notify_all();
}

void onNotification(void* context, std::uint8_t code, const void* payload)
{
    auto& log = logOf(context);
    const std::lock_guard<std::mutex> lock(log.mutex);
    log.notifications.emplace_back(code, static_cast<const char*>(payload));
    log.changed.notify_all();
}

class PacketTransmitterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        transmitter.setContext(&handlers);
        transmitter.setCommandHandler(onCommand);
        transmitter.setAnswerHandler(onAnswer);
        transmitter.setTimeoutHandler(onTimeout);
        transmitter.setNotificationHandler(onNotification);
        transmitter.setTimerInterval(5);
        transmitter.start();
    }

    void TearDown() override { transmitter.stop(); }

    VCPacketHolder nextSent()
    {
        auto packet = dispatcher.sent.pop();
        EXPECT_TRUE(packet);
        return packet ? std::move(*packet) : VCPacketHolder();
    }

    FakeDispatcher dispatcher;
    HandlerLog handlers;
    PacketTransmitter transmitter{&dispatcher};
};

TEST_F(PacketTransmitterTest, CommandsAndNotificationsShareOneIdCounter)
{
    EXPECT_EQ(1u, transmitter.sendCommandAsync("a", 1, 60000));
    transmitter.sendNotification(7, "abc");
    transmitter.sendAnswer("r", 1, 99);
    EXPECT_EQ(3u, transmitter.sendCommandAsync("", 0, 60000));

    const VCPacketHolder command = nextSent();
    EXPECT_EQ(PacketType::Command, command.type);
    EXPECT_EQ(1u, command.messageId);
    EXPECT_EQ(17u, command.length);

    const VCPacketHolder notification = nextSent();
    EXPECT_EQ(20u, notification.length);
    EXPECT_EQ(PacketType::Notification, notification.type);
    EXPECT_EQ(7, notification.code);
    EXPECT_EQ(2u, notification.messageId);
    EXPECT_EQ(0, std::memcmp("abc\0", notification.payload.get(), 4));

    const VCPacketHolder answer = nextSent();
    EXPECT_EQ(PacketType::Answer, answer.type);
    EXPECT_EQ(99u, answer.messageId);
    EXPECT_EQ(0, answer.code);
    EXPECT_EQ(0, answer.reserved[0] | answer.reserved[1]);

    EXPECT_EQ(3u, nextSent().messageId);
    // Answer both so that stop() does not wait for them.
    dispatcher.inject(PacketType::Answer, 1, "");
    dispatcher.inject(PacketType::Answer, 3, "");
}

TEST_F(PacketTransmitterTest, RoutesReceivedPacketsByType)
{
    dispatcher.inject(PacketType::Command, 40, "request");
    dispatcher.inject(PacketType::Notification, 41, std::string("note\0", 5), 3);
    dispatcher.inject(9, 42, "unknown type");
    dispatcher.inject(PacketType::Answer, 43, "nobody asked");

    const std::lock_guard<std::mutex> lock(handlers.mutex);
    ASSERT_EQ(1u, handlers.commands.size());
    EXPECT_EQ(40u, handlers.commands[0].first);
    EXPECT_EQ("request", handlers.commands[0].second);
    ASSERT_EQ(1u, handlers.notifications.size());
    EXPECT_EQ(3, handlers.notifications[0].first);
    EXPECT_EQ("note", handlers.notifications[0].second);
    EXPECT_TRUE(handlers.answers.empty());
}

TEST_F(PacketTransmitterTest, AnswerCompletesAnAsyncCommandOnce)
{
    const std::uint64_t id = transmitter.sendCommandAsync("q", 1, 60000);
    dispatcher.inject(PacketType::Answer, id, "ok");
    dispatcher.inject(PacketType::Answer, id, "duplicate");

    const std::lock_guard<std::mutex> lock(handlers.mutex);
    ASSERT_EQ(1u, handlers.answers.size());
    EXPECT_EQ(id, handlers.answers[0].first);
    EXPECT_EQ("ok", handlers.answers[0].second);
    EXPECT_TRUE(handlers.timeouts.empty());
}

TEST_F(PacketTransmitterTest, ExpiredAsyncCommandCallsTimeoutHandlerAndIgnoresLateAnswer)
{
    const std::uint64_t id = transmitter.sendCommandAsync("q", 1, 0);
    ASSERT_TRUE(handlers.waitFor([&] { return !handlers.timeouts.empty(); }));
    dispatcher.inject(PacketType::Answer, id, "late");

    const std::lock_guard<std::mutex> lock(handlers.mutex);
    EXPECT_EQ(std::vector<std::uint64_t>{id}, handlers.timeouts);
    EXPECT_TRUE(handlers.answers.empty());
}

TEST_F(PacketTransmitterTest, TheSweepSleepsWhileNothingWaitsAndWakesForTheNextCommand)
{
    // Each expiry leaves nothing waiting, so the sweep sleeps before the next command.
    for (int i = 0; i < 3; ++i) {
        const std::uint64_t id = transmitter.sendCommandAsync("q", 1, 0);
        ASSERT_TRUE(handlers.waitFor([&] { return handlers.timeouts.size() == static_cast<std::size_t>(i + 1); }));
        const std::lock_guard<std::mutex> lock(handlers.mutex);
        EXPECT_EQ(handlers.timeouts.back(), id);
    }
    // Emptied by an answer instead: a later command still expires.
    dispatcher.inject(PacketType::Answer, transmitter.sendCommandAsync("a", 1, 60000), "ok");
    const std::uint64_t last = transmitter.sendCommandAsync("b", 1, 0);
    ASSERT_TRUE(handlers.waitFor([&] { return handlers.timeouts.size() == 4; }));
    const std::lock_guard<std::mutex> lock(handlers.mutex);
    EXPECT_EQ(handlers.timeouts.back(), last);
}

TEST_F(PacketTransmitterTest, SynchronousCommandReturnsTheAnswerOrTimesOut)
{
    auto answer = std::async(std::launch::async, [&] { return transmitter.sendCommand("ping", 4, 60000); });
    const VCPacketHolder command = nextSent();
    dispatcher.inject(PacketType::Answer, command.messageId, std::string("po\0ng", 5));
    EXPECT_EQ(std::string("po\0ng", 5), answer.get());

    try {
        transmitter.sendCommand("ping", 4, 0);
        FAIL() << "expected a time-out";
    } catch (const TimeoutException& e) {
        EXPECT_EQ(2u, e.messageId);
        EXPECT_STREQ("Command timed out: MessageID=2", e.what());
    }
    const std::lock_guard<std::mutex> lock(handlers.mutex);
    EXPECT_TRUE(handlers.answers.empty()) << "synchronous answers bypass the AnswerHandler";
    EXPECT_TRUE(handlers.timeouts.empty());
}

TEST_F(PacketTransmitterTest, StopWaitsUntilPendingCommandsExpire)
{
    const std::uint64_t first = transmitter.sendCommandAsync("a", 1, 100);
    const std::uint64_t second = transmitter.sendCommandAsync("b", 1, 100);
    auto stopped = std::async(std::launch::async, [&] { transmitter.stop(); });

    // Once sends are refused the transmitter is draining: answers no longer count.
    ASSERT_TRUE(waitUntil([&] {
        try {
            transmitter.sendAnswer("", 0, 1);
            return false;
        } catch (const VirtualChannelException& e) {
            return e.code == VirtualChannelException::kNotRunning;
        }
    }));
    dispatcher.inject(PacketType::Answer, first, "too late");
    stopped.get();

    const std::lock_guard<std::mutex> lock(handlers.mutex);
    EXPECT_THAT(handlers.timeouts, ::testing::UnorderedElementsAre(first, second));
    EXPECT_TRUE(handlers.answers.empty());
}

TEST_F(PacketTransmitterTest, StopEndsAtOnceTheCommandsNoConnectionCanAnswer)
{
    const std::uint64_t lost = transmitter.sendCommandAsync("a", 1, 20000);
    auto waiting = std::async(std::launch::async, [&] {
        try {
            return transmitter.sendCommand("b", 1, 20000);
        } catch (const TimeoutException& e) {
            return std::string(e.what());
        }
    });
    ASSERT_TRUE(dispatcher.sent.pop());
    ASSERT_TRUE(dispatcher.sent.pop());
    dispatcher.reading = false;  // as once the channel's worker has ended

    auto stopped = std::async(std::launch::async, [&] { transmitter.stop(); });
    ASSERT_EQ(std::future_status::ready, stopped.wait_for(10s)) << "stop waited for deadlines 20 s away";
    EXPECT_EQ("Command timed out: MessageID=2", waiting.get());
    const std::lock_guard<std::mutex> lock(handlers.mutex);
    EXPECT_THAT(handlers.timeouts, ::testing::ElementsAre(lost));
}

TEST_F(PacketTransmitterTest, AnAnswerGoesToTheConnectionItsCommandCameFrom)
{
    dispatcher.source = 7;
    dispatcher.inject(PacketType::Command, 40, "asked on 7");
    transmitter.sendAnswer("a", 1, 40);
    dispatcher.source = 8;
    dispatcher.inject(PacketType::Command, 41, "asked on 8");
    // Answered later, off the worker, after other commands came in between.
    dispatcher.inject(PacketType::Command, 42, "asked on 8 as well");
    transmitter.sendAnswer("b", 1, 41);
    // A command this transmitter never saw is answered on the active connection.
    transmitter.sendAnswer("c", 1, 99);
    EXPECT_THAT(dispatcher.sentTo, ::testing::ElementsAre(7u, 8u));
    EXPECT_EQ(3u, dispatcher.sent.size());
}

TEST_F(PacketTransmitterTest, SendsAfterStopAreRefused)
{
    transmitter.stop();
    try {
        transmitter.sendAnswer("x", 1, 5);
        FAIL() << "expected a refusal";
    } catch (const VirtualChannelException& e) {
        EXPECT_STREQ("PacketTransmitter not running.", e.what());
        EXPECT_EQ(0, e.code);
    }
    EXPECT_THROW(transmitter.sendCommandAsync("x", 1, -1), VirtualChannelException);
    EXPECT_THROW(transmitter.sendNotification(1, "x"), VirtualChannelException);
    EXPECT_EQ(0u, dispatcher.sent.size());

    transmitter.start();
    EXPECT_EQ(1u, transmitter.sendCommandAsync("x", 1, 0)) << "refused sends use no id";
}

TEST_F(PacketTransmitterTest, PayloadsAboveTheWireLimitAreRefusedWithoutUsingAnId)
{
    const std::string limit(2024, 'p');
    transmitter.sendAnswer(limit.data(), 2024, 1);
    EXPECT_EQ(2040u, nextSent().length);

    const std::string tooLarge(2025, 'p');
    try {
        transmitter.sendCommandAsync(tooLarge.data(), 2025, -1);
        FAIL() << "expected a refusal";
    } catch (const VirtualChannelException& e) {
        EXPECT_STREQ("Payload too large: size=2025; limit=2024", e.what());
        EXPECT_NE(0, e.code);
    }
    EXPECT_THROW(transmitter.sendAnswer(tooLarge.data(), 2025, 1), VirtualChannelException);
    EXPECT_THROW(transmitter.sendAnswer("x", -1, 1), VirtualChannelException);
    EXPECT_THROW(transmitter.sendNotification(1, std::string(2024, 'n').c_str()), VirtualChannelException);
    EXPECT_EQ(0u, dispatcher.sent.size());

    transmitter.sendNotification(1, std::string(2023, 'n').c_str());
    const VCPacketHolder notification = nextSent();
    EXPECT_EQ(2040u, notification.length);
    EXPECT_EQ(1u, notification.messageId);
}

// The whole channel over loopback: the command handler answers on the
// worker, except a command "later", which is answered by the test.
struct EchoContext {
    PacketTransmitter* transmitter = nullptr;
    TestSupport::PacketQueue* unanswered = nullptr;
};

void echoCommand(void* context, const void* payload, int size, std::uint64_t messageId)
{
    auto& echo = *static_cast<EchoContext*>(context);
    if (echo.unanswered != nullptr && std::string(static_cast<const char*>(payload), size) == "later") {
        VCPacketHolder noted;
        noted.messageId = messageId;
        echo.unanswered->push(noted);
        return;
    }
    echo.transmitter->sendAnswer(payload, size, messageId);
}

class PacketChannelAnswerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        transmitter.setContext(&context);
        transmitter.setCommandHandler(echoCommand);
        transmitter.start();
        ASSERT_TRUE(dispatcher.start());
        first = connect(0);
        second = connect(1);
    }

    void TearDown() override
    {
        dispatcher.requestStop();
        dispatcher.join();
        transmitter.stop();
    }

    std::unique_ptr<ChannelTestClient> connect(int index)
    {
        auto client = std::make_unique<ChannelTestClient>(dispatcher.port());
        EXPECT_TRUE(logged("Accepted incoming connection: connectionId=" + std::to_string(index)));
        return client;
    }

    bool logged(const std::string& text)
    {
        return waitUntil([&] { return capture.contains(text); });
    }

    static std::string activeChange(int from, int to)
    {
        return "Changed active socket connection: oldConnectionId=" + std::to_string(from) +
               "; newConnectionId=" + std::to_string(to) + "; connectionCount=2";
    }

    TestSupport::LogCapture capture;
    PacketDispatcher dispatcher{10ms};
    PacketTransmitter transmitter{&dispatcher};
    TestSupport::PacketQueue unanswered;
    EchoContext context{&transmitter, &unanswered};
    std::unique_ptr<ChannelTestClient> first;
    std::unique_ptr<ChannelTestClient> second;
};

TEST_F(PacketChannelAnswerTest, AByteFromAnotherConnectionWhileACommandArrivesDoesNotDivertItsAnswer)
{
    // The second connection's header makes it active; a byte from the first
    // makes that one active again before the command is whole.
    const auto command = ChannelTestClient::encode(PacketType::Command, 7, "ping");
    ASSERT_TRUE(second->sendRaw({command.begin(), command.begin() + 16}));
    ASSERT_TRUE(logged(activeChange(0, 1)));
    ASSERT_TRUE(first->sendRaw({0}));
    ASSERT_TRUE(logged(activeChange(1, 0)));
    ASSERT_TRUE(second->sendRaw({command.begin() + 16, command.end()}));

    const auto answer = second->readPacket();
    ASSERT_TRUE(answer) << "the asker got no answer";
    EXPECT_EQ(PacketType::Answer, answer->type);
    EXPECT_EQ(7u, answer->messageId);
    EXPECT_EQ("ping", ChannelTestClient::payloadOf(*answer));
}

TEST_F(PacketChannelAnswerTest, ALateAnswerReachesItsAskerAndIsDroppedWhenTheAskerIsGone)
{
    ASSERT_TRUE(second->sendPacket(PacketType::Command, 8, "later"));
    ASSERT_TRUE(unanswered.pop());
    ASSERT_TRUE(first->sendPacket(PacketType::Command, 9, "ping"));
    const auto echoed = first->readPacket();
    ASSERT_TRUE(echoed);
    EXPECT_EQ(9u, echoed->messageId);

    // The first connection is active now; the answer still goes to the second.
    transmitter.sendAnswer("late", 4, 8);
    const auto late = second->readPacket();
    ASSERT_TRUE(late);
    EXPECT_EQ(8u, late->messageId);
    EXPECT_EQ("late", ChannelTestClient::payloadOf(*late));

    // Notifications keep going to the active connection.
    EXPECT_EQ(1u, transmitter.sendCommandAsync("event", 5, 60000));
    const auto event = first->readPacket();
    ASSERT_TRUE(event);
    EXPECT_EQ(PacketType::Command, event->type);
    ASSERT_TRUE(first->sendPacket(PacketType::Answer, 1, ""));

    ASSERT_TRUE(second->sendPacket(PacketType::Command, 10, "later"));
    ASSERT_TRUE(unanswered.pop());
    second->close();
    ASSERT_TRUE(logged("Removed socket connection: oldConnectionId=1; connectionCount=1"));
    transmitter.sendAnswer("nobody asks", 11, 10);
    EXPECT_TRUE(capture.contains("Unable to send packet because connection is closed: messageId=10"));
    ASSERT_TRUE(first->sendPacket(PacketType::Command, 12, "ping"));
    const auto next = first->readPacket();
    ASSERT_TRUE(next);
    EXPECT_EQ(12u, next->messageId) << "the answer for the gone asker went elsewhere";
}

TEST(PacketChannelTest, StopDoesNotWaitForAnswersFromAChannelNoLongerRead)
{
    TestSupport::LogCapture capture;
    PacketDispatcher dispatcher(10ms);
    PacketTransmitter transmitter(&dispatcher);
    transmitter.start();
    ASSERT_TRUE(dispatcher.start());
    ChannelTestClient client(dispatcher.port());
    ASSERT_TRUE(waitUntil([&] { return capture.contains("Accepted incoming connection"); }));
    transmitter.sendCommandAsync("event", 5, 20000);
    ASSERT_TRUE(client.readPacket());  // and never answered

    dispatcher.requestStop();
    dispatcher.join();
    auto stopped = std::async(std::launch::async, [&] { transmitter.stop(); });
    EXPECT_EQ(std::future_status::ready, stopped.wait_for(10s)) << "stop waited for a deadline 20 s away";
}

TEST(PacketChannelTest, CommandsAreAnsweredOverLoopback)
{
    TestSupport::LogCapture capture;
    PacketDispatcher dispatcher(10ms);
    PacketTransmitter transmitter(&dispatcher);
    EchoContext context{&transmitter};
    transmitter.setContext(&context);
    transmitter.setCommandHandler(echoCommand);
    transmitter.start();
    ASSERT_TRUE(dispatcher.start());

    ChannelTestClient client(dispatcher.port());
    ASSERT_TRUE(client.sendPacket(PacketType::Command, 77, "ping"));
    auto answer = client.readPacket();
    ASSERT_TRUE(answer);
    EXPECT_EQ(PacketType::Answer, answer->type);
    EXPECT_EQ(77u, answer->messageId);
    EXPECT_EQ("ping", ChannelTestClient::payloadOf(*answer));

    EXPECT_EQ(1u, transmitter.sendCommandAsync("event", 5, 60000));
    auto event = client.readPacket();
    ASSERT_TRUE(event);
    EXPECT_EQ(PacketType::Command, event->type);
    EXPECT_EQ(1u, event->messageId);
    ASSERT_TRUE(client.sendPacket(PacketType::Answer, 1, ""));

    dispatcher.requestStop();
    dispatcher.join();
    transmitter.setTimerInterval(5);
    // The answer may or may not have been read before the stop; either way stop() returns.
    transmitter.setCommandTimeout(0);
    transmitter.stop();
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
