#include "service/PacketHandler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "logging/FileAppender.h"
#include "logging/LogRecord.h"
#include "logging/ZipReader.h"
#include "service/PacketHandlerTestSupport.h"
#include "sip/SipCall.h"
#include "sip/SipStack.h"
#include "support/CapturingAppender.h"
#include "support/ChannelTestClient.h"
#include "support/KamailioFixture.h"
#include "support/PulseAudioFixture.h"
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

    // The account of the registrar fixture's user "alice".
    static CitrixMessage createAlice()
    {
        CitrixMessage create;
        auto& account = *create.mutable_createaccountaction();
        account.set_username("alice");
        account.set_realm("127.0.0.1");
        account.set_password("alicepw");
        account.set_transport("udp");
        return create;
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

    const CitrixMessage create = createAlice();
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
    const auto hungUp = std::chrono::steady_clock::now();
    request(hangUp, 4);
    // The ended call counts until the deletion sweep (every second) removes it,
    // at most that long after it ended.
    const auto callKept = std::chrono::nanoseconds(SipCall::kDeletionDelayNs);
    const auto deadline = hungUp + callKept + 1000ms + 300ms + 1000ms;
    while (!capture.contains("No message arrived during the last [300] ms. Shutting down SIP stack.") &&
           std::chrono::steady_clock::now() < deadline) {
        acknowledge(VCPacketHolder());  // an answer to nothing: must not count
        nextNotification(20ms);
    }
    EXPECT_TRUE(capture.contains("No message arrived during the last [300] ms. Shutting down SIP stack."));
    EXPECT_GE(std::chrono::steady_clock::now() - hungUp, 300ms);

    // The query waits for the teardown to finish.
    const auto status = stackAction(&query, 5);
    EXPECT_EQ(status.status(), Proto::SipStackStatusAnswer::STOPPED);
    CitrixMessage again;
    again.mutable_setregistrationaction()->set_accountid(accountId);
    EXPECT_EQ(request(again, 6).ack().statuscode(), Proto::Ack::FAILED);
}

// The shutdown comes one whole period after the last command was answered,
// never before it was sent, whether that command was long or short.
TEST_F(PacketHandlerChannelTest, IdleShutdownComesOnePeriodAfterTheLastCommand)
{
    constexpr auto period = 1500ms;
    // Far less than a second period, which is what a missed tick costs.
    constexpr auto margin = 700ms;
    build(period);
    const std::string line = "No message arrived during the last [1500] ms. Shutting down SIP stack.";
    struct LastCommand {
        const char* name;
        void (*fill)(CitrixMessage&);
    };
    // A start keeps the SIP core thread busy for a while; a query takes no time.
    for (const LastCommand& last : {LastCommand{"start", &start}, LastCommand{"query", &query}}) {
        SCOPED_TRACE(last.name);
        if (last.fill != &start) {
            ASSERT_EQ(stackAction(&start, 1).status(), Proto::SipStackStatusAnswer::RUNNING);
            std::this_thread::sleep_for(period / 3);
        }
        capture.store().clear();
        const auto sent = std::chrono::steady_clock::now();
        ASSERT_EQ(stackAction(last.fill, 2).status(), Proto::SipStackStatusAnswer::RUNNING);
        const auto answered = std::chrono::steady_clock::now();
        ASSERT_TRUE(TestSupport::waitUntil([&] { return capture.contains(line); }, period * 3));
        const auto shutdown = std::chrono::steady_clock::now();
        EXPECT_GE(shutdown - sent, period);
        EXPECT_LE(shutdown - answered, period + margin);
        EXPECT_EQ(stackAction(&query, 3).status(), Proto::SipStackStatusAnswer::STOPPED);
    }
}

// The cases of the account and call actions that only a running stack reaches.
TEST_F(PacketHandlerChannelTest, AccountAndCallActionsWithTheRunningStack)
{
    const TestSupport::KamailioFixture kamailio({{"alice", "alicepw"}}, "127.0.0.1", 5060);
    build();
    ASSERT_EQ(stackAction(&start, 1).status(), Proto::SipStackStatusAnswer::RUNNING);

    const CitrixMessage create = createAlice();
    const auto created = request(create, 2).createaccountanswer();
    ASSERT_EQ(created.objectidresponse().ack().statuscode(), Proto::Ack::SUCCESS)
        << created.objectidresponse().ack().statusmessage();
    const int accountId = created.objectidresponse().objectid();
    EXPECT_TRUE(capture.contains("Sending message CreateAccountAnswer: messageId=2; statusCode=0; "
                                 "statusMessage=\"\"; objectId=" + std::to_string(accountId)));

    CitrixMessage message;
    message.mutable_makecallaction()->set_accountid(accountId);
    message.mutable_makecallaction()->set_phonenumber("bob");
    const auto call = request(message, 3).objectidresponse();
    ASSERT_EQ(call.ack().statuscode(), Proto::Ack::SUCCESS) << call.ack().statusmessage();
    EXPECT_GT(call.objectid(), 0);

    // An index the account does not know is no failure.
    message.Clear();
    message.mutable_getcallaction()->set_accountid(accountId);
    message.mutable_getcallaction()->set_pjsipcallid(4711);
    const auto found = request(message, 4).objectidresponse();
    EXPECT_EQ(found.ack().statuscode(), Proto::Ack::SUCCESS);
    EXPECT_EQ(found.objectid(), -1);

    const std::string noCall = "Invalid call ID: callId=99";
    const std::string noAccount = "Invalid account ID: accountId=98";
    const std::vector<std::pair<std::function<void(CitrixMessage&)>, std::string>> unknown = {
        {[](CitrixMessage& m) { m.mutable_dialaction()->set_callid(99); }, noCall},
        {[](CitrixMessage& m) { m.mutable_hangupaction()->set_callid(99); }, noCall},
        {[](CitrixMessage& m) { m.mutable_answeraudioaction()->set_callid(99); }, noCall},
        {[](CitrixMessage& m) { m.mutable_dialdtmfaction()->set_callid(99); }, noCall},
        {[](CitrixMessage& m) { m.mutable_callholdaction()->set_callid(99); }, noCall},
        {[](CitrixMessage& m) { m.mutable_callmutemicrophoneaction()->set_callid(99); }, noCall},
        {[](CitrixMessage& m) { m.mutable_callmutespeakeraction()->set_callid(99); }, noCall},
        {[](CitrixMessage& m) { m.mutable_callmergeaction()->set_callid(99); }, noCall},
        {[](CitrixMessage& m) { m.mutable_joinconferenceaction()->set_callid(99); }, noCall},
        {[](CitrixMessage& m) { m.mutable_leaveconferenceaction()->set_callid(99); }, noCall},
        {[](CitrixMessage& m) { m.mutable_forwardaction()->set_callid(99); }, noCall},
        {[](CitrixMessage& m) { m.mutable_deleteaccountaction()->set_accountid(98); }, noAccount},
        {[](CitrixMessage& m) { m.mutable_setregistrationaction()->set_accountid(98); }, noAccount},
        {[](CitrixMessage& m) { m.mutable_updateaccountpasswordaction()->set_accountid(98); }, noAccount},
        {[](CitrixMessage& m) { m.mutable_makecallaction()->set_accountid(98); }, noAccount},
        {[](CitrixMessage& m) { m.mutable_startconferenceaction()->add_accountids(98); }, noAccount},
    };
    std::uint64_t messageId = 10;
    for (const auto& [fill, text] : unknown) {
        CitrixMessage request_;
        fill(request_);
        SCOPED_TRACE(request_.ShortDebugString());
        const CitrixMessage answer = request(request_, ++messageId);
        EXPECT_EQ(TestSupport::ackOf(answer).statuscode(), Proto::Ack::FAILED);
        EXPECT_EQ(TestSupport::ackOf(answer).statusmessage(), text);
    }

    message.Clear();
    message.mutable_setregistrationaction()->set_accountid(accountId);
    message.mutable_setregistrationaction()->set_renew(true);
    EXPECT_EQ(request(message, 40).ack().statuscode(), Proto::Ack::SUCCESS);
    message.Clear();
    message.mutable_stopconferenceaction();
    EXPECT_EQ(request(message, 41).ack().statuscode(), Proto::Ack::SUCCESS);
    message.Clear();
    message.mutable_deleteaccountaction()->set_accountid(accountId);
    EXPECT_EQ(request(message, 42).ack().statuscode(), Proto::Ack::SUCCESS);
    message.Clear();
    message.mutable_setregistrationaction()->set_accountid(accountId);
    EXPECT_EQ(request(message, 43).ack().statusmessage(), "Invalid account ID: accountId=" + std::to_string(accountId));

    // Stopped again: the account went with the stack, and its id is what the
    // softphone hears about; creating something new needs the stack.
    const CitrixMessage kept = createAlice();
    ASSERT_EQ(request(kept, 44).createaccountanswer().objectidresponse().ack().statuscode(), Proto::Ack::SUCCESS);
    ASSERT_EQ(stackAction(&stop, 50).status(), Proto::SipStackStatusAnswer::STOPPED);
    const std::string gone = "Invalid account ID: accountId=" + std::to_string(accountId + 1);
    message.Clear();
    message.mutable_makecallaction()->set_accountid(accountId + 1);
    message.mutable_makecallaction()->set_phonenumber("bob");
    EXPECT_EQ(request(message, 51).objectidresponse().ack().statusmessage(), gone);
    message.Clear();
    message.mutable_startconferenceaction()->add_accountids(accountId + 1);
    EXPECT_EQ(request(message, 52).ack().statusmessage(), gone);
    message.Clear();
    message.mutable_hangupaction()->set_callid(call.objectid());
    EXPECT_EQ(request(message, 53).ack().statusmessage(), "Invalid call ID: callId=" + std::to_string(call.objectid()));
    EXPECT_EQ(request(kept, 54).createaccountanswer().objectidresponse().ack().statusmessage(),
              "SIP stack is not running");
}

TEST_F(PacketHandlerChannelTest, AudioActionsWithTheRunningStack)
{
    build();
    ASSERT_EQ(stackAction(&start, 1).status(), Proto::SipStackStatusAnswer::RUNNING);

    CitrixMessage message;
    message.mutable_audiorecordercreateaction();
    EXPECT_EQ(request(message, 2).objectidresponse().objectid(), 1);
    EXPECT_EQ(request(message, 3).objectidresponse().objectid(), 2);
    message.Clear();
    message.mutable_audiorecorderdisposeaction()->set_objectid(1);
    EXPECT_EQ(request(message, 4).ack().statuscode(), Proto::Ack::SUCCESS);
    EXPECT_EQ(request(message, 5).ack().statusmessage(), "Invalid audio recorder ID: audioRecorderId=1");
    message.Clear();
    message.mutable_audiorecordercreateaction();
    EXPECT_EQ(request(message, 6).objectidresponse().objectid(), 3);

    // Version 1: the id alone.
    message.Clear();
    message.mutable_audiodevicemanagercreateaction();
    const auto v1 = request(message, 7).objectidresponse();
    EXPECT_EQ(v1.ack().statuscode(), Proto::Ack::SUCCESS) << v1.ack().statusmessage();
    EXPECT_EQ(v1.objectid(), 1);

    // Version 2: the device list comes with the answer.
    CitrixMessage appStart;
    appStart.mutable_appstartaction()->set_protocolversion(2);
    ASSERT_TRUE(request(appStart, 8).has_appstartanswer());
    const auto v2 = request(message, 9).audiodevicemanagercreateanswer();
    EXPECT_EQ(v2.ack().statuscode(), Proto::Ack::SUCCESS) << v2.ack().statusmessage();
    ASSERT_TRUE(v2.has_audiodevicenotification());
    EXPECT_EQ(v2.audiodevicenotification().objectid(), 1);
    EXPECT_TRUE(capture.contains("Sending message AudioDeviceManagerCreateAnswer: messageId=9; statusCode=0; "
                                 "statusMessage=\"\"; objectId=1;" +
                                 PacketHandler::formatAudioDeviceNotification(v2.audiodevicenotification())));

    message.Clear();
    message.mutable_audiodevicesetextraplaybackdeviceaction()->set_extraplaybackdeviceobjectid(-1);
    EXPECT_EQ(request(message, 10).ack().statuscode(), Proto::Ack::SUCCESS);
}

// A notification the client leaves unanswered is reported once, after the
// transmitter's time-out; an answered one never.
TEST_F(PacketHandlerChannelTest, AnUnansweredNotificationTimesOutOnce)
{
    build();
    // The engine knows the client's connection once it has heard from it.
    ASSERT_EQ(stackAction(&query, 1).status(), Proto::SipStackStatusAnswer::STOPPED);
    rig->handler->onCallConfirmed(1, 2, 3);
    const auto sent = std::chrono::steady_clock::now();
    const auto first = client->readPacket(5s);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->type, kCommand);
    const std::string line = "PacketHandler Timeout: messageId=" + std::to_string(first->messageId);
    rig->handler->onCallConfirmed(1, 2, 4);
    const auto second = client->readPacket(5s);
    ASSERT_TRUE(second);
    acknowledge(*second);

    ASSERT_TRUE(TestSupport::waitUntil([&] { return capture.contains(line); }, 10s));
    const auto timedOut = std::chrono::steady_clock::now() - sent;
    EXPECT_GE(timedOut, 5000ms);
    EXPECT_LE(timedOut, 5000ms + 1500ms);
    EXPECT_EQ(TestSupport::levelOf(capture, line), Error);
    std::this_thread::sleep_for(1s);
    int lines = 0;
    for (const std::string& message : capture.messages()) {
        lines += message.find("PacketHandler Timeout") != std::string::npos;
    }
    EXPECT_EQ(lines, 1);
}

// Long device names in numbers that no packet holds whole: the create answer
// still comes, with every device and shortened names.
TEST_F(PacketHandlerChannelTest, ADeviceListTooLongForAPacketIsAnsweredWithShorterNames)
{
    TestSupport::PulseAudioFixture pulse(false);  // before the first stack of this process
    constexpr int kSinks = 8;
    for (int i = 0; i < kSinks; ++i) {
        pulse.addSink("long_" + std::to_string(i), std::string(239, static_cast<char>('a' + i)));
    }
    build();
    ASSERT_EQ(stackAction(&start, 1).status(), Proto::SipStackStatusAnswer::RUNNING);
    CitrixMessage appStart;
    appStart.mutable_appstartaction()->set_protocolversion(2);
    ASSERT_TRUE(request(appStart, 2).has_appstartanswer());

    CitrixMessage create;
    create.mutable_audiodevicemanagercreateaction();
    const CitrixMessage answer = request(create, 3);
    ASSERT_TRUE(answer.has_audiodevicemanagercreateanswer()) << "no answer";
    const auto& created = answer.audiodevicemanagercreateanswer();
    EXPECT_EQ(created.ack().statuscode(), Proto::Ack::SUCCESS) << created.ack().statusmessage();
    EXPECT_LE(answer.ByteSizeLong(), PacketHandler::kMaxPayloadSize);
    int longOnes = 0;
    for (const auto& device : created.audiodevicenotification().audiodevices()) {
        EXPECT_FALSE(device.name().empty());
        EXPECT_GT(device.objectid(), 0);
        longOnes += device.name().find("aaaa") != std::string::npos || device.name().find("hhhh") != std::string::npos;
    }
    EXPECT_EQ(longOnes, 2) << created.ShortDebugString();
    EXPECT_TRUE(capture.contains("AudioDeviceManagerCreateAnswer too large, texts cut: size="));
}

TEST_F(PacketHandlerChannelTest, LogTransferReassemblesIntoTheZip)
{
    build();
    FileAppenderConfig config;
    config.directory = rig->dir.makeDir("applog");
    config.fileName = "ovra";
    FileAppender appender(config);
    LogRecord record;
    record.message = "a line for the softphone's support desk";
    appender.append(record);
    rig->logArchive->setFileAppender(&appender);

    CitrixMessage message;
    message.mutable_appstartlogtransferaction();
    // The first packet back is the late answer, with the request's id.
    const auto ready = request(message, 7).appstartlogtransferanswer();
    ASSERT_EQ(ready.ack().statuscode(), Proto::Ack::SUCCESS) << ready.ack().statusmessage();
    ASSERT_GE(ready.count(), 1);

    std::string zip;
    for (int index = 0; index < ready.count(); ++index) {
        message.Clear();
        message.mutable_apptransferlogpartaction()->set_index(index);
        const auto part = request(message, 100 + static_cast<std::uint64_t>(index)).apptransferlogpartanswer();
        ASSERT_EQ(part.ack().statuscode(), Proto::Ack::SUCCESS) << part.ack().statusmessage();
        EXPECT_LE(part.log().size(), LogArchive::kPartSize);
        zip += part.log();
    }
    const std::string zipPath = rig->dir.path() + "/received.zip";
    std::ofstream(zipPath, std::ios::binary) << zip;
    const auto entries = TestSupport::readZip(zipPath);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "ovra.log");
    EXPECT_NE(entries[0].data.find("a line for the softphone's support desk"), std::string::npos);

    message.Clear();
    message.mutable_appstoplogtransferaction();
    EXPECT_EQ(request(message, 200).ack().statuscode(), Proto::Ack::SUCCESS);
    message.Clear();
    message.mutable_apptransferlogpartaction()->set_index(0);
    EXPECT_EQ(request(message, 201).apptransferlogpartanswer().ack().statusmessage(), "Index out of range: 0");
    // The worker is done (it answered); the appender must not outlive its use.
    rig->logArchive->wait();
    rig->logArchive->setFileAppender(nullptr);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
