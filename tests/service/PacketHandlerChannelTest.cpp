#include "service/PacketHandler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "service/PacketHandlerTestSupport.h"
#include "sip/SipStack.h"
#include "support/CapturingAppender.h"
#include "support/ChannelTestClient.h"
#include "support/KamailioFixture.h"
#include "transport/PacketDispatcher.h"
#include "transport/PacketTransmitter.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;
using Proto::CitrixMessage;
using TestSupport::ChannelTestClient;
using TestSupport::HandlerRig;
using TestSupport::LogCapture;

constexpr std::uint8_t kCommand = 0;
constexpr std::uint8_t kAnswer = 1;

// The engine's channel as the application builds it (dispatcher, transmitter,
// handler with the real services) and a client on loopback in the driver's place.
class PacketHandlerChannelTest : public ::testing::Test {
protected:
    void build(std::chrono::milliseconds idlePeriod = PacketHandler::kIdlePeriod)
    {
        transmitter = std::make_unique<PacketTransmitter>(&dispatcher);
        rig = std::make_unique<HandlerRig>(transmitter.get(), idlePeriod);
        SipStack::getInstance().setWorkingDirectory(rig->dir.path());
        transmitter->start();
        ASSERT_TRUE(dispatcher.start());
        client = std::make_unique<ChannelTestClient>(dispatcher.port());
        ASSERT_TRUE(client->connected());
    }

    void TearDown() override
    {
        client.reset();
        dispatcher.requestStop();
        dispatcher.join();
        if (rig) {
            rig->handler->stopIdleTimer();
            transmitter->stop();
        }
        rig.reset();
        transmitter.reset();
    }

    // Sends `request` and returns the payload of its answer; notifications
    // that arrive meanwhile are answered and kept in `notifications`.
    CitrixMessage request(const CitrixMessage& message, std::uint64_t messageId)
    {
        EXPECT_TRUE(client->sendPacket(kCommand, messageId, message.SerializeAsString()));
        for (;;) {
            auto packet = client->readPacket(15s);
            if (!packet) {
                ADD_FAILURE() << "no answer to message " << messageId;
                return CitrixMessage();
            }
            CitrixMessage received;
            EXPECT_TRUE(received.ParseFromString(ChannelTestClient::payloadOf(*packet)));
            if (packet->type == kAnswer) {
                EXPECT_EQ(packet->messageId, messageId);
                return received;
            }
            acknowledge(*packet);
            notifications.push_back(received);
        }
    }

    // The next notification (answered as the driver does), or nothing within `timeout`.
    std::optional<CitrixMessage> nextNotification(std::chrono::milliseconds timeout)
    {
        auto packet = client->readPacket(timeout);
        if (!packet || packet->type != kCommand) {
            return std::nullopt;
        }
        acknowledge(*packet);
        CitrixMessage received;
        received.ParseFromString(ChannelTestClient::payloadOf(*packet));
        return received;
    }

    void acknowledge(const VCPacketHolder& notification)
    {
        CitrixMessage ack;
        ack.mutable_ack()->set_statuscode(Proto::Ack::SUCCESS);
        client->sendPacket(kAnswer, notification.messageId, ack.SerializeAsString());
    }

    Proto::SipStackStatusAnswer stackAction(void (*fill)(CitrixMessage&), std::uint64_t messageId)
    {
        CitrixMessage message;
        fill(message);
        return request(message, messageId).sipstackstatusanswer();
    }

    static void start(CitrixMessage& m) { m.mutable_sipstackstartaction()->set_useragent("ovra-test"); }
    static void stop(CitrixMessage& m) { m.mutable_sipstackstopaction(); }
    static void query(CitrixMessage& m) { m.mutable_sipstackstatusquery(); }

    LogCapture capture;
    PacketDispatcher dispatcher{50ms};
    std::unique_ptr<PacketTransmitter> transmitter;
    std::unique_ptr<HandlerRig> rig;
    std::unique_ptr<ChannelTestClient> client;
    std::vector<CitrixMessage> notifications;
};

TEST_F(PacketHandlerChannelTest, StartHandshakeOverLoopback)
{
    build();
    CitrixMessage message;
    message.mutable_appstartaction()->set_appversion("softphone 3");
    message.mutable_appstartaction()->set_protocolversion(1);
    const CitrixMessage answer = request(message, 1);
    ASSERT_TRUE(answer.has_appstartanswer());
    EXPECT_EQ(answer.appstartanswer().remoteplatform(), Proto::LINUX);
    EXPECT_EQ(answer.appstartanswer().protocolversion(), 2);
    EXPECT_EQ(answer.appstartanswer().remoteversion(), "5.0.1151");
    EXPECT_TRUE(rig->handler->isAtMost(1));

    // Back-to-back commands are answered in order, each with its own id.
    ASSERT_TRUE(client->sendPacket(kCommand, 2, message.SerializeAsString()));
    ASSERT_TRUE(client->sendPacket(kCommand, 3, message.SerializeAsString()));
    auto first = client->readPacket();
    auto second = client->readPacket();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->messageId, 2u);
    EXPECT_EQ(second->messageId, 3u);
}

TEST_F(PacketHandlerChannelTest, StartQueryAndStopTheRealStack)
{
    build();
    auto status = stackAction(&start, 1);
    EXPECT_EQ(status.ack().statuscode(), Proto::Ack::SUCCESS) << status.ack().statusmessage();
    EXPECT_EQ(status.status(), Proto::SipStackStatusAnswer::RUNNING);
    status = stackAction(&query, 2);
    EXPECT_EQ(status.status(), Proto::SipStackStatusAnswer::RUNNING);
    // A second start restarts from nothing and runs again.
    status = stackAction(&start, 3);
    EXPECT_EQ(status.status(), Proto::SipStackStatusAnswer::RUNNING);

    CitrixMessage level;
    level.mutable_playbacklevelaction()->set_level(-1.0f);
    EXPECT_EQ(request(level, 4).ack().statusmessage().find("Invalid audio level"), 0u);

    status = stackAction(&stop, 5);
    EXPECT_EQ(status.ack().statuscode(), Proto::Ack::SUCCESS);
    EXPECT_EQ(status.status(), Proto::SipStackStatusAnswer::STOPPED);
    EXPECT_TRUE(capture.contains("Received message SipStackStartAction: messageId=1; useNoVad=0; "
                                 "userAgent=\"ovra-test\"; G729Enabled=0; SipLogEnabled=0"));
    EXPECT_TRUE(capture.contains("Sending message SipStackStatusAnswer: messageId=2; statusCode=0; "
                                 "statusMessage=\"\"; sipStackStatus=1"));
}

TEST_F(PacketHandlerChannelTest, IdleShutdownIgnoresAnswersAndWaitsForCalls)
{
    const TestSupport::KamailioFixture kamailio({{"alice", "alicepw"}}, "127.0.0.1", 5060);
    build(300ms);
    ASSERT_EQ(stackAction(&start, 1).status(), Proto::SipStackStatusAnswer::RUNNING);

    CitrixMessage create;
    auto& account = *create.mutable_createaccountaction();
    account.set_username("alice");
    account.set_realm("127.0.0.1");
    account.set_password("alicepw");
    account.set_transport("udp");
    const CitrixMessage created = request(create, 2);
    ASSERT_EQ(created.createaccountanswer().objectidresponse().ack().statuscode(), Proto::Ack::SUCCESS)
        << created.createaccountanswer().objectidresponse().ack().statusmessage();
    const int accountId = created.createaccountanswer().objectidresponse().objectid();
    EXPECT_EQ(created.createaccountanswer().iduri(), "sip:alice@127.0.0.1");

    // A call object (not yet dialled) keeps the stack up through silence.
    CitrixMessage makeCall;
    makeCall.mutable_makecallaction()->set_accountid(accountId);
    makeCall.mutable_makecallaction()->set_phonenumber("bob");
    const CitrixMessage call = request(makeCall, 3);
    ASSERT_EQ(call.objectidresponse().ack().statuscode(), Proto::Ack::SUCCESS)
        << call.objectidresponse().ack().statusmessage();
    // The registration reaches the client as a notification.
    std::optional<CitrixMessage> registered;
    for (const auto& n : notifications) {
        if (n.has_accountregstatechangednotification()) {
            registered = n;
        }
    }
    while (!registered) {
        auto next = nextNotification(10s);
        ASSERT_TRUE(next) << kamailio.log();
        if (next->has_accountregstatechangednotification()) {
            registered = next;
        }
    }
    EXPECT_EQ(registered->accountregstatechangednotification().accountid(), accountId);
    EXPECT_TRUE(registered->accountregstatechangednotification().isconnected());
    EXPECT_EQ(registered->accountregstatechangednotification().statuscode(), 200);

    capture.store().clear();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return capture.contains("SIP stack idle."); }, 10s));
    EXPECT_TRUE(SipStack::getInstance().isStarted());

    // Without the call, answers from the client are no activity: the stack goes down.
    CitrixMessage hangUp;
    hangUp.mutable_hangupaction()->set_callid(call.objectidresponse().objectid());
    request(hangUp, 4);
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (!capture.contains("No message arrived during the last [300] ms. Shutting down SIP stack.") &&
           std::chrono::steady_clock::now() < deadline) {
        acknowledge(VCPacketHolder());  // an answer to nothing: must not count
        nextNotification(20ms);
    }
    EXPECT_TRUE(capture.contains("No message arrived during the last [300] ms. Shutting down SIP stack."));

    // The query waits for the teardown to finish.
    const auto status = stackAction(&query, 5);
    EXPECT_EQ(status.status(), Proto::SipStackStatusAnswer::STOPPED);
    CitrixMessage again;
    again.mutable_setregistrationaction()->set_accountid(accountId);
    EXPECT_EQ(request(again, 6).ack().statuscode(), Proto::Ack::FAILED);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
