#include "service/PacketHandler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "service/MessageFit.h"
#include "service/PacketHandlerTestSupport.h"
#include "sip/SipError.h"
#include "support/CapturingAppender.h"
#include "util/Utf8.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;
using Proto::CitrixMessage;
using TestSupport::HandlerRig;
using TestSupport::LogCapture;
using TestSupport::waitUntil;

class PacketHandlerTest : public ::testing::Test {
protected:
    CitrixMessage answerTo(const CitrixMessage& request, std::uint64_t messageId)
    {
        return rig.recorder.answerTo(request, messageId);
    }

    LogCapture capture;
    HandlerRig rig;
};

TEST_F(PacketHandlerTest, AppStartAdoptsTheVersionAndAnswersLinuxAndVersionTwo)
{
    EXPECT_TRUE(rig.handler->isAtMost(1));  // set at start-up
    CitrixMessage request;
    request.mutable_appstartaction()->set_appversion("7.1");
    request.mutable_appstartaction()->set_protocolversion(7);
    const CitrixMessage answer = answerTo(request, 41);

    ASSERT_TRUE(answer.has_appstartanswer());
    EXPECT_EQ(answer.appstartanswer().ack().statuscode(), Proto::Ack::SUCCESS);
    EXPECT_EQ(answer.appstartanswer().remoteversion(), "5.0.1151");
    EXPECT_EQ(answer.appstartanswer().remoteplatform(), Proto::LINUX);
    EXPECT_EQ(answer.appstartanswer().protocolversion(), 2);
    EXPECT_TRUE(rig.handler->isAtLeast(7));
    EXPECT_TRUE(rig.deviceService->isAtLeast(7));
    EXPECT_TRUE(capture.contains(
        "Received message AppStartAction: messageId=41; appVersion=\"7.1\"; protocolVersion=7"));
    EXPECT_TRUE(capture.contains("Updating protocol version: version=7; supportedVersions=1..2"));
    EXPECT_TRUE(capture.contains("Sending message AppStartAnswer: messageId=41; statusCode=0; "
                                 "remoteVersion=\"5.0.1151\"; remotePlatform=\"LINUX\"; protocolVersion=2"));
}

// Any version is stored as sent and answered with the engine's own 2; below
// 2 the device manager is created the old way, from 2 on the new way.
TEST_F(PacketHandlerTest, EveryProtocolVersionIsAdoptedAndChoosesTheDeviceAnswer)
{
    struct VersionCase {
        int version;
        CitrixMessage::InnerCase deviceAnswer;
    };
    std::uint64_t messageId = 60;
    for (const VersionCase& c : {VersionCase{0, CitrixMessage::kObjectIdResponse},
                                 VersionCase{-3, CitrixMessage::kObjectIdResponse},
                                 VersionCase{1, CitrixMessage::kObjectIdResponse},
                                 VersionCase{2, CitrixMessage::kAudioDeviceManagerCreateAnswer},
                                 VersionCase{7, CitrixMessage::kAudioDeviceManagerCreateAnswer}}) {
        SCOPED_TRACE(c.version);
        CitrixMessage start;
        start.mutable_appstartaction()->set_protocolversion(c.version);
        const CitrixMessage answer = answerTo(start, ++messageId);
        EXPECT_EQ(answer.appstartanswer().protocolversion(), 2);
        EXPECT_EQ(answer.appstartanswer().ack().statuscode(), Proto::Ack::SUCCESS);
        EXPECT_TRUE(rig.handler->isAtLeast(c.version) && rig.handler->isAtMost(c.version));
        EXPECT_TRUE(rig.deviceService->isAtLeast(c.version) && rig.deviceService->isAtMost(c.version));
        EXPECT_TRUE(capture.contains("Updating protocol version: version=" + std::to_string(c.version) +
                                     "; supportedVersions=1..2"));
        CitrixMessage create;
        create.mutable_audiodevicemanagercreateaction();
        EXPECT_EQ(answerTo(create, ++messageId).inner_case(), c.deviceAnswer);
    }
}

TEST_F(PacketHandlerTest, UnknownAndUnparsableMessagesAreLoggedAndNotAnswered)
{
    rig.recorder.deliverRaw("\xff\xff\xff garbage", 5);
    rig.recorder.deliver(CitrixMessage(), 6);
    CitrixMessage ownAnswer;
    ownAnswer.mutable_ack()->set_statuscode(Proto::Ack::SUCCESS);
    rig.recorder.deliver(ownAnswer, 7);
    CitrixMessage ownNotification;
    ownNotification.mutable_audiodevicenotification()->set_objectid(1);
    rig.recorder.deliver(ownNotification, 8);

    EXPECT_TRUE(rig.recorder.sent().empty());
    EXPECT_TRUE(capture.contains("Received message of unknown type: messageId=5; type=0"));
    EXPECT_TRUE(capture.contains("Received message of unknown type: messageId=6; type=0"));
    EXPECT_TRUE(capture.contains("Received message of unknown type: messageId=7; type=1"));
    EXPECT_TRUE(capture.contains("Received message of unknown type: messageId=8; type=23"));
}

TEST_F(PacketHandlerTest, SipStackStatusWhileStoppedAndRefusedStart)
{
    CitrixMessage query;
    query.mutable_sipstackstatusquery();
    CitrixMessage answer = answerTo(query, 10);
    ASSERT_TRUE(answer.has_sipstackstatusanswer());
    EXPECT_EQ(answer.sipstackstatusanswer().ack().statuscode(), Proto::Ack::SUCCESS);
    EXPECT_EQ(answer.sipstackstatusanswer().status(), Proto::SipStackStatusAnswer::STOPPED);

    CitrixMessage stop;
    stop.mutable_sipstackstopaction();
    answer = answerTo(stop, 11);
    EXPECT_EQ(answer.sipstackstatusanswer().ack().statuscode(), Proto::Ack::SUCCESS);
    EXPECT_EQ(answer.sipstackstatusanswer().status(), Proto::SipStackStatusAnswer::STOPPED);

    // A header smuggled into the user agent is refused before anything starts.
    CitrixMessage start;
    start.mutable_sipstackstartaction()->set_useragent("agent\r\nX-Evil: 1");
    answer = answerTo(start, 12);
    EXPECT_EQ(answer.sipstackstatusanswer().ack().statuscode(), Proto::Ack::FAILED);
    EXPECT_EQ(answer.sipstackstatusanswer().ack().statusmessage(), "Invalid userAgent: control character");
    EXPECT_EQ(answer.sipstackstatusanswer().status(), Proto::SipStackStatusAnswer::STOPPED);
    EXPECT_TRUE(capture.contains("Sending message SipStackStatusAnswer: messageId=12; statusCode=1; "
                                 "statusMessage=\"Invalid userAgent: control character\"; sipStackStatus=0"));
}

// The handler's own cases that refuse while the stack is stopped; the
// account, call, conference, audio and log transfer actions have tests of their own.
struct DispatchCase {
    const char* name;
    std::function<void(CitrixMessage&)> fill;
    const char* failureText;
    // What the stack logs for the request before it refuses.
    const char* stackLine;
};

// Where the first captured line holding `text` is, or -1.
int positionOf(LogCapture& capture, const std::string& text)
{
    const auto messages = capture.messages();
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (messages[i].find(text) != std::string::npos) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

TEST_F(PacketHandlerTest, StackCasesFailWhileTheStackIsStopped)
{
    const std::vector<DispatchCase> cases = {
        {"codec", [](CitrixMessage& m) { m.mutable_sipstackcodecprioaction()->set_codecname("opus/48000/2"); },
         "Failed to set codec priority because SIP stack is not running.", nullptr},
        {"playbackLevel", [](CitrixMessage& m) { m.mutable_playbacklevelaction()->set_level(0.5f); },
         "Failed to set playback audio level because SIP stack is not running",
         "Setting playback audio level: level=0.500000"},
        {"captureLevel", [](CitrixMessage& m) { m.mutable_capturelevelaction()->set_level(0.5f); },
         "Failed to set capture audio level because SIP stack is not running", "Set capture audio level: level=0.500000"},
        {"muteMic", [](CitrixMessage& m) { m.mutable_mutemicrophoneaction()->set_mute(true); },
         "Failed to mute microphone because SIP stack is not running", "Set microphone muted"},
    };
    std::uint64_t messageId = 100;
    for (const DispatchCase& c : cases) {
        SCOPED_TRACE(c.name);
        capture.store().clear();
        CitrixMessage request;
        c.fill(request);
        const CitrixMessage answer = answerTo(request, ++messageId);
        ASSERT_TRUE(answer.has_ack());
        EXPECT_EQ(answer.ack().statuscode(), Proto::Ack::FAILED);
        EXPECT_EQ(answer.ack().statusmessage(), c.failureText);
        // The stack's own lines come first: the request, then its refusal at error level.
        const int refusal = positionOf(capture, c.failureText);
        EXPECT_EQ(TestSupport::levelOf(capture, c.failureText), Error);
        EXPECT_GE(refusal, 0);
        EXPECT_LT(refusal, positionOf(capture, "Sending message Ack: messageId=" + std::to_string(messageId)));
        if (c.stackLine != nullptr) {
            EXPECT_EQ(TestSupport::levelOf(capture, c.stackLine), Info);
            EXPECT_GE(positionOf(capture, c.stackLine), 0);
            EXPECT_LT(positionOf(capture, c.stackLine), refusal);
        }
    }
    EXPECT_TRUE(capture.contains("Received message MuteMicrophoneAction: messageId=104; level=1.000000"));
}

TEST_F(PacketHandlerTest, DeviceManagerAnswerFollowsTheProtocolVersion)
{
    CitrixMessage request;
    request.mutable_audiodevicemanagercreateaction();
    rig.handler->setVersion(1);
    EXPECT_TRUE(answerTo(request, 1).has_objectidresponse());
    rig.handler->setVersion(2);
    const CitrixMessage answer = answerTo(request, 2);
    ASSERT_TRUE(answer.has_audiodevicemanagercreateanswer());
    EXPECT_FALSE(answer.audiodevicemanagercreateanswer().has_audiodevicenotification());
    EXPECT_TRUE(capture.contains("Sending message AudioDeviceManagerCreateAnswer: messageId=2; statusCode=1; "
                                 "statusMessage=\"SIP stack is not running\"; objectId=0; defaultInputObjectId=0;"));
}

TEST_F(PacketHandlerTest, ExceptionsOfAnyKindBecomeFailedAnswers)
{
    auto answer = rig.handler->runWithAck(1, [] { throw std::out_of_range("index 9"); });
    EXPECT_EQ(answer->ack().statusmessage(), "index 9");
    answer = rig.handler->runWithAck(2, [] { throw 42; });
    EXPECT_EQ(answer->ack().statuscode(), Proto::Ack::FAILED);
    EXPECT_EQ(answer->ack().statusmessage(), "Unknown error");
    answer = rig.handler->runWithObjectId(3, []() -> int {
        SipError error;
        error.reason = "Codec not available";
        throw error;
    });
    EXPECT_EQ(answer->objectidresponse().ack().statusmessage(), "Codec not available");
    EXPECT_EQ(answer->objectidresponse().objectid(), 0);
    answer = rig.handler->runWithObjectId(4, [] { return 5; });
    EXPECT_EQ(answer->objectidresponse().ack().statuscode(), Proto::Ack::SUCCESS);
    EXPECT_EQ(answer->objectidresponse().objectid(), 5);

    // An answer the transmitter refuses is dropped, not thrown at the dispatcher.
    rig.recorder.refuse(true);
    CitrixMessage query;
    query.mutable_sipstackstatusquery();
    EXPECT_NO_THROW(rig.recorder.deliver(query, 9));
    EXPECT_TRUE(capture.contains("Failed to handle message: messageId=9; message=\"PacketTransmitter not running.\""));
}

TEST_F(PacketHandlerTest, CallNotificationsCarryTheirFieldsAndFreshIds)
{
    rig.handler->onCallEarly(1, 2, 3, "route\xe9");
    rig.handler->onCallConfirmed(1, 2, 3);
    rig.handler->onCallHoldStateChanged(1, 2, 3, true);
    SipCallMediaState media;
    media.codecName = "opus";
    media.codecClockRate = 48000;
    media.mediaState = 1;
    media.sipStatus = 200;
    media.srtpActive = true;
    media.displayName = std::string(3000, 'n');
    media.displayNumber = "100";
    rig.handler->onCallMediaState(1, 2, media);
    rig.handler->onCallTerminated(1, 2, 3, 2);
    rig.handler->onCallTerminated(1, 2, 3, 7);
    rig.handler->onAccountRegStateChanged(-1, true, 200, 200);
    // Only 1 and 2 have names of their own.
    rig.handler->onCallTerminated(1, 2, 3, 0);
    rig.handler->onCallTerminated(1, 2, 3, 1);
    rig.handler->onCallTerminated(1, 2, 3, 3);

    const auto sent = rig.recorder.sent();
    ASSERT_EQ(sent.size(), 10u);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_FALSE(sent[i].isAnswer);
        EXPECT_EQ(sent[i].messageId, i + 1);
    }
    EXPECT_EQ(sent[0].message.earlycallnotification().routename(), toUtf8("route\xe9"));
    EXPECT_TRUE(isValidUtf8(sent[0].message.earlycallnotification().routename()));
    EXPECT_EQ(sent[1].message.confirmedcallnotification().pjsipcallid(), 3);
    EXPECT_TRUE(sent[2].message.holdstatechangednotification().ishold());
    const auto& mediaSent = sent[3].message.callmediastatenotification();
    EXPECT_EQ(mediaSent.codecclockrate(), 48000u);
    EXPECT_EQ(mediaSent.sipstatus(), 200);
    EXPECT_LT(mediaSent.displayname().size(), 3000u);  // cut so that the message fits a packet
    EXPECT_EQ(sent[4].message.terminatedcallnotification().reason(), Proto::CALL_TERMINATION_REASON_BUSY_HERE);
    EXPECT_EQ(sent[5].message.terminatedcallnotification().reason(), Proto::CALL_TERMINATION_REASON_UNKNOWN);
    EXPECT_EQ(sent[6].message.accountregstatechangednotification().accountid(), -1);

    EXPECT_TRUE(capture.contains("Sending message ConfirmedCallNotification: messageId=2; accountId=1; callId=2; "
                                 "pjsipCallId=3"));
    EXPECT_TRUE(capture.contains("Sending message HoldStateChangedNotification: messageId=3; accountId=1; "
                                 "callId=2; pjsipCallId=3; holdState=1"));
    EXPECT_TRUE(capture.contains("Sending message TerminatedCallNotification: messageId=6; accountId=1; callId=2; "
                                 "pjsipCallId=3; reason=\"CALL_TERMINATION_REASON_UNKNOWN\""));
    EXPECT_TRUE(capture.contains("Sending message AccountRegStateChangedNotification: messageId=7; accountId=-1; "
                                 "isConnected=1; status=200; statusCode=200"));
    const Proto::CallTerminationReason reasons[] = {Proto::CALL_TERMINATION_REASON_UNKNOWN,
                                                    Proto::CALL_TERMINATION_REASON_NOT_FOUND,
                                                    Proto::CALL_TERMINATION_REASON_UNKNOWN};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sent[7 + i].message.terminatedcallnotification().reason(), reasons[i]);
        EXPECT_TRUE(capture.contains("Sending message TerminatedCallNotification: messageId=" + std::to_string(8 + i) +
                                     "; accountId=1; callId=2; pjsipCallId=3; reason=\"" +
                                     Proto::CallTerminationReason_Name(reasons[i]) + "\""));
    }
}

TEST_F(PacketHandlerTest, LongIncomingInviteIsCutAtALineAndStillSent)
{
    std::string invite = "INVITE sip:alice@127.0.0.1 SIP/2.0\r\nFrom: <sip:b\xf6@127.0.0.1>\r\n";
    for (int i = 0; i < 60; ++i) {
        invite += "X-Filler-" + std::to_string(i) + ": " + std::string(40, 'f') + "\r\n";
    }
    rig.handler->onIncomingCall(1, 2, 0, invite.c_str());

    const auto sent = rig.recorder.sent();
    ASSERT_EQ(sent.size(), 1u);
    const std::string& text = sent[0].message.incomingcallnotification().sipmessage();
    EXPECT_LE(sent[0].message.ByteSizeLong(), PacketHandler::kMaxPayloadSize);
    EXPECT_GT(text.size(), 1500u);
    EXPECT_EQ(text.compare(0, 35, "INVITE sip:alice@127.0.0.1 SIP/2.0\r"), 0);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    EXPECT_TRUE(isValidUtf8(text));
    EXPECT_TRUE(capture.contains("IncomingCallNotification too large, sipMessage cut: accountId=1; callId=2"));

    // A short one goes out whole.
    rig.handler->onIncomingCall(1, 3, 1, "INVITE sip:a SIP/2.0\r\n\r\n");
    EXPECT_EQ(rig.recorder.sent().back().message.incomingcallnotification().sipmessage(),
              "INVITE sip:a SIP/2.0\r\n\r\n");
}

TEST_F(PacketHandlerTest, NotificationsRefusedByTheTransmitterAreLoggedAndDropped)
{
    rig.recorder.refuse(true);
    EXPECT_NO_THROW(rig.handler->onCallConfirmed(1, 2, 3));
    EXPECT_NO_THROW(rig.handler->onAudioDevicesChanged(1, AudioDeviceSnapshot()));
    EXPECT_TRUE(rig.recorder.sent().empty());
    EXPECT_TRUE(capture.contains(
        "Failed to send message ConfirmedCallNotification: message=\"PacketTransmitter not running.\""));

    PacketHandler::onTimeout(rig.handler.get(), 18446744073709551615ULL);
    EXPECT_TRUE(capture.contains("PacketHandler Timeout: messageId=18446744073709551615"));
}

TEST(PacketHandlerDevices, NotificationIsBuiltAndFormatted)
{
    AudioDeviceSnapshot snapshot;
    snapshot.records.push_back({"Headset \xe9", true, true, true, 4});
    snapshot.records.push_back({"Speaker", false, true, false, 7});
    snapshot.defaultInputObjectId = 4;
    snapshot.defaultOutputObjectId = 7;
    snapshot.systemDefaultInputObjectId = 4;
    snapshot.systemDefaultOutputObjectId = -1;
    const auto notification = PacketHandler::buildAudioDeviceNotification(1, snapshot);
    ASSERT_EQ(notification->audiodevices_size(), 2);
    EXPECT_EQ(notification->audiodevices(0).name(), "Headset \xc3\xa9");
    EXPECT_EQ(PacketHandler::formatAudioDeviceNotification(*notification),
              " defaultInputObjectId=4; defaultOutputObjectId=7; systemDefaultInputObjectId=4; "
              "systemDefaultOutputObjectId=-1; audioDevices=[(4;\"Headset \xc3\xa9\";1;1;1),(7;\"Speaker\";0;1;0)]");

    const auto empty = PacketHandler::buildAudioDeviceNotification(1, AudioDeviceSnapshot());
    EXPECT_EQ(empty->audiodevices_size(), 0);
    EXPECT_EQ(PacketHandler::formatAudioDeviceNotification(*empty),
              " defaultInputObjectId=-1; defaultOutputObjectId=-1; systemDefaultInputObjectId=-1; "
              "systemDefaultOutputObjectId=-1; audioDevices=[]");
}

TEST(MessageFit, CutsAtLinesAndCharacters)
{
    EXPECT_EQ(MessageFit::cutAtLine("a\nbb\nccc\n", 100), "a\nbb\nccc\n");
    EXPECT_EQ(MessageFit::cutAtLine("a\nbb\nccc\n", 8), "a\nbb\n");
    EXPECT_EQ(MessageFit::cutAtLine("a\nbb\nccc\n", 5), "a\nbb\n");
    EXPECT_EQ(MessageFit::cutAtLine("abc\n", 2), "");
    EXPECT_EQ(MessageFit::cutAtCharacter("ab\xc3\xa9", 3), "ab");
    EXPECT_EQ(MessageFit::cutAtCharacter("ab\xc3\xa9", 4), "ab\xc3\xa9");
    EXPECT_TRUE(MessageFit::hasControlCharacter("a\tb"));
    EXPECT_TRUE(MessageFit::hasControlCharacter("a\x7f"));
    EXPECT_FALSE(MessageFit::hasControlCharacter("Agent/1.0 (x) \xc3\xa9"));
}

TEST(PacketHandlerIdle, TickWithTheStackStoppedOnlyLogsAndCommandsRestartThePeriod)
{
    LogCapture capture;
    HandlerRig rig(nullptr, 50ms);
    ASSERT_TRUE(waitUntil([&] { return capture.contains("SIP stack idle."); }));
    EXPECT_FALSE(capture.contains("Shutting down SIP stack"));
    rig.handler->stopIdleTimer();
    capture.store().clear();
    // After the timer was stopped for the application's teardown, commands
    // still work and no tick comes any more.
    CitrixMessage query;
    query.mutable_sipstackstatusquery();
    rig.recorder.deliver(query, 1);
    std::this_thread::sleep_for(150ms);
    EXPECT_FALSE(capture.contains("SIP stack idle."));
    EXPECT_EQ(rig.recorder.sent().size(), 1u);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
