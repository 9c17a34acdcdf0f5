#include "service/PacketHandler.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "logging/LogArchive.h"
#include "logging/LogRecord.h"
#include "service/PacketHandlerTestSupport.h"
#include "support/CapturingAppender.h"

namespace Tarvent::VirtualChannel {
namespace {

using Proto::CitrixMessage;
using TestSupport::ackOf;
using TestSupport::HandlerRig;
using TestSupport::LogCapture;
using TestSupport::levelOf;

// Ids above 32 bits: every answer and log line must carry the whole id.
constexpr std::uint64_t kFirstId = 0x100000000ULL;
constexpr const char* kNotRunning = "SIP stack is not running";

// One action against the engine with the SIP stack stopped: what it must
// answer and log. `%ID%` in a line stands for the request's message id.
struct ActionCase {
    const char* name;
    std::function<void(CitrixMessage&)> fill;
    CitrixMessage::InnerCase answerCase;
    Proto::Ack::StatusCode status;
    std::string text;
    std::string receivedLine;
    int receivedLevel;
};

std::string withId(std::string line, std::uint64_t messageId)
{
    const std::string marker = "%ID%";
    const auto at = line.find(marker);
    if (at != std::string::npos) {
        line.replace(at, marker.size(), std::to_string(messageId));
    }
    return line;
}

// The sending line of the Ack and object-id answers.
std::string sentLine(const CitrixMessage& answer, std::uint64_t messageId)
{
    const Proto::Ack& ack = ackOf(answer);
    const std::string head = "messageId=" + std::to_string(messageId) + "; statusCode=" +
                             std::to_string(ack.statuscode()) + "; statusMessage=\"" + ack.statusmessage() + "\"";
    switch (answer.inner_case()) {
    case CitrixMessage::kAck:
        return "Sending message Ack: " + head;
    case CitrixMessage::kObjectIdResponse:
        return "Sending message ObjectIdResponse: " + head + "; objectId=" +
               std::to_string(answer.objectidresponse().objectid());
    case CitrixMessage::kCreateAccountAnswer:
        // The logged id is -1 after a failure, the answer's 0 otherwise.
        return "Sending message CreateAccountAnswer: " + head + "; objectId=" +
               std::to_string(ack.statuscode() == Proto::Ack::SUCCESS
                                  ? answer.createaccountanswer().objectidresponse().objectid()
                                  : -1);
    default:
        return "no sending line for this answer";
    }
}

class PacketHandlerActionsTest : public ::testing::Test {
protected:
    void run(const std::vector<ActionCase>& cases)
    {
        std::uint64_t messageId = kFirstId;
        for (const ActionCase& c : cases) {
            SCOPED_TRACE(c.name);
            CitrixMessage request;
            c.fill(request);
            ++messageId;
            const CitrixMessage answer = rig.recorder.answerTo(request, messageId);
            EXPECT_EQ(answer.inner_case(), c.answerCase);
            EXPECT_EQ(ackOf(answer).statuscode(), c.status);
            EXPECT_EQ(ackOf(answer).statusmessage(), c.text);
            if (answer.has_objectidresponse() && c.status == Proto::Ack::FAILED) {
                EXPECT_EQ(answer.objectidresponse().objectid(), 0);
            }
            const std::string received = withId(c.receivedLine, messageId);
            EXPECT_EQ(levelOf(capture, received), c.receivedLevel) << received;
            EXPECT_TRUE(capture.contains(sentLine(answer, messageId))) << sentLine(answer, messageId);
        }
    }

    LogCapture capture;
    HandlerRig rig;
};

TEST_F(PacketHandlerActionsTest, AccountCallAndConferenceActions)
{
    const auto ack = CitrixMessage::kAck;
    const auto objectId = CitrixMessage::kObjectIdResponse;
    const auto failed = Proto::Ack::FAILED;
    const std::vector<ActionCase> cases = {
        {"createAccount",
         [](CitrixMessage& m) {
             auto& a = *m.mutable_createaccountaction();
             a.set_username("alice");
             a.set_realm("example.org");
             a.set_host("registrar");
             a.set_password("s3cret-pw");
             a.set_transport("udp");
         },
         CitrixMessage::kCreateAccountAnswer, failed, kNotRunning,
         "Received message CreateAccountAction: messageId=%ID%; username=\"alice\"; realm=\"example.org\"; "
         "host=\"registrar\"; transport=\"udp\"",
         Debug},
        {"createAccountBadUser",
         [](CitrixMessage& m) { m.mutable_createaccountaction()->set_username("alice\r\nX-Evil: 1"); },
         CitrixMessage::kCreateAccountAnswer, failed, "Invalid username: control character",
         "Received message CreateAccountAction: messageId=%ID%;", Debug},
        {"createAccountBadRealm",
         [](CitrixMessage& m) {
             m.mutable_createaccountaction()->set_username("alice");
             m.mutable_createaccountaction()->set_realm(std::string("exa\0mple", 8));
         },
         CitrixMessage::kCreateAccountAnswer, failed, "Invalid realm: control character",
         "Received message CreateAccountAction: messageId=%ID%;", Debug},
        {"deleteAccount", [](CitrixMessage& m) { m.mutable_deleteaccountaction()->set_accountid(3); }, ack, failed,
         "Invalid account ID: accountId=3", "Received message DeleteAccountAction: messageId=%ID%; accountId=3", Info},
        {"setRegistration",
         [](CitrixMessage& m) {
             m.mutable_setregistrationaction()->set_accountid(4);
             m.mutable_setregistrationaction()->set_renew(true);
         },
         ack, failed, "Invalid account ID: accountId=4",
         "Received message SetRegistrationAction: messageId=%ID%; accountId=4, renew=1",
         Info},
        {"updatePassword",
         [](CitrixMessage& m) {
             m.mutable_updateaccountpasswordaction()->set_accountid(5);
             m.mutable_updateaccountpasswordaction()->set_newpassword("n3w-pw");
         },
         ack, failed, "Invalid account ID: accountId=5",
         "Received message UpdateAccountPasswordAction: messageId=%ID%; accountId=5", Info},
        {"makeCall",
         [](CitrixMessage& m) {
             m.mutable_makecallaction()->set_accountid(11);
             m.mutable_makecallaction()->set_phonenumber("+49 30 1234");
         },
         objectId, failed, "Invalid account ID: accountId=11",
         "Received message MakeCallAction: messageId=%ID%; accountId=11; phoneNumber=\"+49 30 1234\"", Info},
        {"makeCallBadNumber",
         [](CitrixMessage& m) {
             m.mutable_makecallaction()->set_accountid(11);
             m.mutable_makecallaction()->set_phonenumber("100\r\nRoute: <sip:evil>");
         },
         objectId, failed, "Invalid phoneNumber: control character",
         "Received message MakeCallAction: messageId=%ID%; accountId=11;", Info},
        {"dial", [](CitrixMessage& m) { m.mutable_dialaction()->set_callid(12); }, ack, failed,
         "Invalid call ID: callId=12", "Received message DialAction: messageId=%ID%; callId=12", Info},
        {"hangUp", [](CitrixMessage& m) { m.mutable_hangupaction()->set_callid(13); }, ack, failed,
         "Invalid call ID: callId=13", "Received message HangUpAction: messageId=%ID%; callId=13", Info},
        {"answer", [](CitrixMessage& m) { m.mutable_answeraudioaction()->set_callid(14); }, ack, failed,
         "Invalid call ID: callId=14", "Received message AnswerAudioAction: messageId=%ID%; callId=14", Info},
        // With the stack stopped no object is left: an id names nothing, and
        // the service says so; only creating something needs the stack.
        {"getCall",
         [](CitrixMessage& m) {
             m.mutable_getcallaction()->set_accountid(15);
             m.mutable_getcallaction()->set_pjsipcallid(2);
         },
         objectId, failed, "Invalid account ID: accountId=15",
         "Received message GetCallAction: messageId=%ID%; accountId=15; pjsipCallId=2", Info},
        {"dtmf",
         [](CitrixMessage& m) {
             m.mutable_dialdtmfaction()->set_callid(16);
             m.mutable_dialdtmfaction()->set_digit("#");
         },
         ack, failed, "Invalid call ID: callId=16",
         "Received message DialDtmfAction: messageId=%ID%; callId=16; digit=\"#\"", Info},
        {"hold",
         [](CitrixMessage& m) {
             m.mutable_callholdaction()->set_callid(17);
             m.mutable_callholdaction()->set_hold(true);
             m.mutable_callholdaction()->set_autoholdothers(true);
         },
         ack, failed, "Invalid call ID: callId=17",
         "Received message CallHoldAction: messageId=%ID%; callId=17; hold=1; autoHoldOthers=1", Info},
        {"callMuteMicrophone",
         [](CitrixMessage& m) {
             m.mutable_callmutemicrophoneaction()->set_callid(18);
             m.mutable_callmutemicrophoneaction()->set_mute(true);
         },
         ack, failed, "Invalid call ID: callId=18",
         "Received message CallMuteMicrophoneAction (deprecated): messageId=%ID%; callId=18; mute=1", Warning},
        {"callMuteSpeaker", [](CitrixMessage& m) { m.mutable_callmutespeakeraction()->set_callid(19); }, ack,
         failed, "Invalid call ID: callId=19",
         "Received message CallMuteSpeakerAction: messageId=%ID%; callId=19; mute=0", Info},
        {"merge", [](CitrixMessage& m) { m.mutable_callmergeaction()->set_callid(20); }, ack, failed,
         "Invalid call ID: callId=20", "Received message CallMergeAction: messageId=%ID%; callId=20", Info},
        {"startConference",
         [](CitrixMessage& m) {
             m.mutable_startconferenceaction()->add_accountids(21);
             m.mutable_startconferenceaction()->add_accountids(22);
         },
         ack, failed, "Invalid account ID: accountId=21",
         "Received message StartConferenceAction: messageId=%ID%; accountIds.size()=2",
         Info},
        // No id to look up: the conference itself needs the stack.
        {"startEmptyConference", [](CitrixMessage& m) { m.mutable_startconferenceaction(); }, ack, failed,
         kNotRunning, "Received message StartConferenceAction: messageId=%ID%; accountIds.size()=0", Info},
        // Ending a conference that does not run is harmless.
        {"stopConference", [](CitrixMessage& m) { m.mutable_stopconferenceaction(); }, ack, Proto::Ack::SUCCESS, "",
         "Received message StopConferenceAction: messageId=%ID%", Info},
        {"join", [](CitrixMessage& m) { m.mutable_joinconferenceaction()->set_callid(22); }, ack, failed,
         "Invalid call ID: callId=22", "Received message JoinConferenceAction: messageId=%ID%; callId=22", Info},
        {"leave", [](CitrixMessage& m) { m.mutable_leaveconferenceaction()->set_callid(23); }, ack, failed,
         "Invalid call ID: callId=23", "Received message LeaveConferenceAction: messageId=%ID%; callId=23", Info},
        {"forward",
         [](CitrixMessage& m) {
             m.mutable_forwardaction()->set_callid(24);
             m.mutable_forwardaction()->set_targetnumber("200");
         },
         ack, failed, "Invalid call ID: callId=24",
         "Received message ForwardAction: messageId=%ID%; callId=24; targetNumber=\"200\"", Info},
        {"forwardBadTarget",
         [](CitrixMessage& m) {
             m.mutable_forwardaction()->set_callid(24);
             m.mutable_forwardaction()->set_targetnumber("200\x7f");
         },
         ack, failed, "Invalid targetNumber: control character",
         "Received message ForwardAction: messageId=%ID%; callId=24;", Info},
    };
    run(cases);

    const CitrixMessage created = rig.recorder.sent().front().message;
    EXPECT_EQ(created.createaccountanswer().objectidresponse().objectid(), 0);
    EXPECT_TRUE(created.createaccountanswer().iduri().empty());
    EXPECT_FALSE(created.createaccountanswer().contactrewrite());
    EXPECT_FALSE(capture.contains("s3cret-pw"));
    EXPECT_FALSE(capture.contains("n3w-pw"));
}

TEST_F(PacketHandlerActionsTest, FailedCallQualityIsLoggedAndNotAnswered)
{
    CitrixMessage mos;
    mos.mutable_mosupdateaction()->set_callid(77);
    rig.recorder.deliver(mos, kFirstId + 3);
    EXPECT_TRUE(rig.recorder.sent().empty());
    EXPECT_EQ(levelOf(capture, "Failed to handle message MosUpdateAction: messageId=4294967299; callId=77; "
                               "message=\"Invalid call ID: callId=77\""),
              Error);
    EXPECT_FALSE(capture.contains("Received message MosUpdateAction"));
}

TEST_F(PacketHandlerActionsTest, AudioActions)
{
    const auto ack = CitrixMessage::kAck;
    const auto objectId = CitrixMessage::kObjectIdResponse;
    const auto failed = Proto::Ack::FAILED;
    const std::vector<ActionCase> cases = {
        {"playerCreate",
         [](CitrixMessage& m) {
             auto& a = *m.mutable_audioplayercreateaction();
             a.set_filename("ring.wav");
             a.set_callid(3);
             a.set_loop(true);
         },
         objectId, failed, kNotRunning,
         "Received message AudioPlayerCreateAction: messageId=%ID%; filename=\"ring.wav\"; callId=3; loop=1; "
         "extra=0",
         Info},
        {"playerCreateOutsideSounds",
         [](CitrixMessage& m) {
             m.mutable_audioplayercreateaction()->set_filename("../x.wav");
             m.mutable_audioplayercreateaction()->set_extraplaybackdevice(true);
         },
         objectId, failed, "Invalid sound file name: fileName=\"../x.wav\"",
         "Received message AudioPlayerCreateAction: messageId=%ID%; filename=\"../x.wav\"; callId=0; loop=0; extra=1",
         Info},
        {"playerPlay", [](CitrixMessage& m) { m.mutable_audioplayerplayaction()->set_objectid(6); }, ack, failed,
         "Invalid audio player ID: audioPlayerId=6", "Received message AudioPlayerPlayAction: messageId=%ID%; objectId=6",
         Info},
        {"playerStop", [](CitrixMessage& m) { m.mutable_audioplayerstopaction()->set_objectid(7); }, ack, failed,
         "Invalid audio player ID: audioPlayerId=7", "Received message AudioPlayerStopAction: messageId=%ID%; objectId=7",
         Info},
        {"playerDispose", [](CitrixMessage& m) { m.mutable_audioplayerdisposeaction()->set_objectid(8); }, ack,
         failed, "Invalid audio player ID: audioPlayerId=8",
         "Received message AudioPlayerDisposeAction: messageId=%ID%; objectId=8", Info},
        {"recorderCreate", [](CitrixMessage& m) { m.mutable_audiorecordercreateaction(); }, objectId, failed,
         kNotRunning, "Received message AudioRecorderCreateAction: messageId=%ID%", Info},
        {"recorderStart",
         [](CitrixMessage& m) {
             m.mutable_audiorecorderstartaction()->set_objectid(2);
             m.mutable_audiorecorderstartaction()->set_callid(-1);
         },
         ack, failed, "Invalid call ID for audio recorder: -1",
         "Received message AudioRecorderStartAction: messageId=%ID%; objectId=2; callId=-1", Info},
        {"recorderStop", [](CitrixMessage& m) { m.mutable_audiorecorderstopaction()->set_objectid(9); }, ack, failed,
         "Invalid audio recorder ID: audioRecorderId=9",
         "Received message AudioRecorderStopAction: messageId=%ID%; objectId=9", Info},
        {"recorderDispose", [](CitrixMessage& m) { m.mutable_audiorecorderdisposeaction()->set_objectid(10); }, ack,
         failed, "Invalid audio recorder ID: audioRecorderId=10",
         "Received message AudioRecorderDisposeAction: messageId=%ID%; objectId=10", Info},
        {"deviceManagerCreate", [](CitrixMessage& m) { m.mutable_audiodevicemanagercreateaction(); }, objectId,
         failed, kNotRunning, "Received message AudioDeviceManagerCreateAction: messageId=%ID%", Debug},
        {"defaultDevices",
         [](CitrixMessage& m) {
             m.mutable_audiodevicedefaultchangedaction()->set_newdefaultinputobjectid(31);
             m.mutable_audiodevicedefaultchangedaction()->set_newdefaultoutputobjectid(32);
         },
         ack, failed, "Could not find name for audio device ID 32",
         "Received message AudioDeviceDefaultChangedAction: messageId=%ID%; newDefaultInputObjectId=31; "
         "newDefaultOutputObjectId=32",
         Info},
        {"extraDevice",
         [](CitrixMessage& m) {
             m.mutable_audiodevicesetextraplaybackdeviceaction()->set_extraplaybackdeviceobjectid(33);
         },
         ack, failed, "Could not find name for audio device ID 33",
         "Received message AudioDeviceSetExtraPlaybackDeviceAction: messageId=%ID%; extraPlaybackDeviceObjectId=33",
         Info},
        {"noExtraDevice",
         [](CitrixMessage& m) {
             m.mutable_audiodevicesetextraplaybackdeviceaction()->set_extraplaybackdeviceobjectid(-1);
         },
         ack, Proto::Ack::SUCCESS, "",
         "Received message AudioDeviceSetExtraPlaybackDeviceAction: messageId=%ID%; extraPlaybackDeviceObjectId=-1",
         Info},
    };
    rig.handler->setVersion(1);
    run(cases);
}

TEST_F(PacketHandlerActionsTest, LogTransferStartPartsAndStop)
{
    // Nothing packed yet: stopping still succeeds, a part does not exist.
    CitrixMessage stop;
    stop.mutable_appstoplogtransferaction();
    CitrixMessage answer = rig.recorder.answerTo(stop, 2);
    EXPECT_EQ(answer.ack().statuscode(), Proto::Ack::SUCCESS);
    EXPECT_EQ(levelOf(capture, "Received message AppStopLogTransferAction: messageId=2"), Info);
    EXPECT_TRUE(capture.contains("Sending message Ack: messageId=2; statusCode=0; statusMessage=\"\""));
    CitrixMessage part;
    part.mutable_apptransferlogpartaction()->set_index(0);
    EXPECT_EQ(rig.recorder.answerTo(part, 3).apptransferlogpartanswer().ack().statusmessage(),
              "Index out of range: 0");

    CitrixMessage start;
    start.mutable_appstartlogtransferaction();
    const std::uint64_t startId = kFirstId + 7;
    const std::size_t before = rig.recorder.sent().size();
    rig.recorder.deliver(start, startId);
    ASSERT_TRUE(rig.recorder.waitForCount(before + 1));
    const auto ready = rig.recorder.sent().back();
    EXPECT_TRUE(ready.isAnswer);
    EXPECT_EQ(ready.messageId, startId);
    ASSERT_TRUE(ready.message.has_appstartlogtransferanswer());
    const int count = ready.message.appstartlogtransferanswer().count();
    EXPECT_GE(count, 1);
    EXPECT_EQ(ready.message.appstartlogtransferanswer().ack().statuscode(), Proto::Ack::SUCCESS);
    EXPECT_EQ(levelOf(capture, "Received message AppStartLogTransferAction: messageId=4294967303"), Debug);
    EXPECT_EQ(levelOf(capture, "Sending message AppStartLogTransferAnswer: messageId=4294967303; statusCode=0; "
                               "statusMessage=\"\"; count=" + std::to_string(count)),
              Debug);

    capture.store().clear();
    answer = rig.recorder.answerTo(part, 8);
    EXPECT_EQ(answer.apptransferlogpartanswer().ack().statuscode(), Proto::Ack::SUCCESS);
    EXPECT_FALSE(answer.apptransferlogpartanswer().log().empty());
    EXPECT_LE(answer.apptransferlogpartanswer().log().size(), LogArchive::kPartSize);
    EXPECT_EQ(answer.apptransferlogpartanswer().index(), 0);
    // Parts go unlogged both ways (they are zip bytes).
    EXPECT_TRUE(capture.messages().empty());
    for (const int index : {count, -1}) {
        part.mutable_apptransferlogpartaction()->set_index(index);
        answer = rig.recorder.answerTo(part, 9);
        EXPECT_EQ(answer.apptransferlogpartanswer().ack().statuscode(), Proto::Ack::FAILED);
        EXPECT_EQ(answer.apptransferlogpartanswer().ack().statusmessage(),
                  "Index out of range: " + std::to_string(index));
        EXPECT_TRUE(answer.apptransferlogpartanswer().log().empty());
    }

    EXPECT_EQ(rig.recorder.answerTo(stop, 10).ack().statuscode(), Proto::Ack::SUCCESS);
    part.mutable_apptransferlogpartaction()->set_index(0);
    EXPECT_EQ(rig.recorder.answerTo(part, 11).apptransferlogpartanswer().ack().statuscode(), Proto::Ack::FAILED);
}

TEST_F(PacketHandlerActionsTest, AFailedPackingIsAnsweredFailedWithItsText)
{
    // No folder to write the zip into.
    LogArchive broken(rig.handler.get(), rig.dir.path() + "/missing/log");
    rig.handler->setLogArchive(&broken);
    CitrixMessage start;
    start.mutable_appstartlogtransferaction();
    rig.recorder.deliver(start, kFirstId + 5);
    ASSERT_TRUE(rig.recorder.waitForCount(1));
    broken.wait();
    rig.handler->setLogArchive(rig.logArchive.get());

    const auto sent = rig.recorder.sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].messageId, kFirstId + 5);
    const auto& answer = sent[0].message.appstartlogtransferanswer();
    EXPECT_EQ(answer.ack().statuscode(), Proto::Ack::FAILED);
    EXPECT_FALSE(answer.ack().statusmessage().empty());
    EXPECT_EQ(answer.count(), 0);
    EXPECT_TRUE(capture.contains("Sending message AppStartLogTransferAnswer: messageId=4294967301; statusCode=1; "
                                 "statusMessage=\"" + answer.ack().statusmessage() + "\"; count=0"));

    // A count of no parts is a failure too, whoever reports it.
    rig.handler->onLogArchiveReady(12, 0);
    EXPECT_EQ(rig.recorder.sent().back().message.appstartlogtransferanswer().ack().statusmessage(),
              "Failed to pack the log files");
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
