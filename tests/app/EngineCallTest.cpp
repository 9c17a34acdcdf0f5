#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/EngineTestSupport.h"
#include "support/BaresipFixture.h"
#include "support/KamailioFixture.h"
#include "support/PulseAudioFixture.h"
#include "support/ToneDetector.h"
#include "support/WavFile.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;
using Proto::Ack;
using TestSupport::BaresipFixture;
using TestSupport::KamailioFixture;
using TestSupport::Message;
using TestSupport::PulseAudioFixture;
using TestSupport::RunningEngine;
using TestSupport::ToneDetector;
using TestSupport::WavFile;

// Our microphone is the PulseAudio sine source (1 kHz); the far end speaks 697 Hz.
constexpr double kOurTone = 1000.0;
constexpr double kFarTone = 697.0;

// A registrar with alice and bob, PulseAudio devices, and the engine with
// its stack running and alice registered through it.
class EngineCallTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(engine_.ready()) << engine_.engine().console();
        ASSERT_TRUE(engine_.request(TestSupport::appStart(2)).has_appstartanswer());
        const Message started = engine_.request(TestSupport::stackStart(), 30s);
        ASSERT_EQ(started.sipstackstatusanswer().status(), Proto::SipStackStatusAnswer::RUNNING)
            << started.ShortDebugString();
        const Message created = engine_.request(TestSupport::createAccount("alice", "alicepw"));
        const auto& response = created.createaccountanswer().objectidresponse();
        ASSERT_EQ(response.ack().statuscode(), Ack::SUCCESS) << created.ShortDebugString();
        accountId_ = response.objectid();
        EXPECT_EQ(created.createaccountanswer().iduri(), "sip:alice@127.0.0.1");
        const auto registered = notification(&Message::has_accountregstatechangednotification);
        ASSERT_TRUE(registered) << kamailio_.log();
        EXPECT_EQ(registered->accountregstatechangednotification().accountid(), accountId_);
        EXPECT_TRUE(registered->accountregstatechangednotification().isconnected());
        EXPECT_EQ(registered->accountregstatechangednotification().statuscode(), 200);
    }

    void TearDown() override
    {
        EXPECT_EQ(engine_.terminate(), 0) << engine_.engine().console();
        // An orderly stop unregisters the account it had registered.
        EXPECT_TRUE(kamailio_.waitForRegistration("alice", 5s, false)) << kamailio_.dumpRegistrations();
    }

    BaresipFixture::Options farEnd(bool autoAnswer) const
    {
        BaresipFixture::Options options;
        options.user = "bob";
        options.registrar = &kamailio_;
        options.password = "bobpw";
        options.autoAnswer = autoAnswer;
        options.toneHz = kFarTone;
        return options;
    }

    // The next notification of the kind `has` tells, optionally also matching `also`.
    std::optional<Message> notification(bool (Message::*has)() const,
                                        const std::function<bool(const Message&)>& also = nullptr,
                                        std::chrono::milliseconds timeout = 15s)
    {
        return engine_.client().notification(
            [&](const Message& m) { return (m.*has)() && (!also || also(m)); }, timeout);
    }

    Ack ackOf(const Message& message) { return engine_.ack(message); }

    // Lists the devices and makes the headset microphone and the desk
    // speaker the defaults with `select`, which is left as it was sent.
    void selectDeskSpeaker(Message& select)
    {
        Message create;
        create.mutable_audiodevicemanagercreateaction();
        const Message created = engine_.request(create);
        ASSERT_TRUE(created.has_audiodevicemanagercreateanswer()) << created.ShortDebugString();
        ASSERT_EQ(created.audiodevicemanagercreateanswer().ack().statuscode(), Ack::SUCCESS)
            << created.ShortDebugString();
        const auto& list = created.audiodevicemanagercreateanswer().audiodevicenotification();
        const auto named = [&](const std::string& part, bool output) {
            for (const auto& device : list.audiodevices()) {
                if (device.name().find(part) != std::string::npos &&
                    (output ? device.isoutputdevice() : device.isinputdevice())) {
                    return device.objectid();
                }
            }
            return -1;
        };
        const int desk = named("Desk Speaker", true);
        const int microphone = named("Headset Microphone", false);
        ASSERT_GE(desk, 0) << created.ShortDebugString();
        ASSERT_GE(microphone, 0) << created.ShortDebugString();
        select.mutable_audiodevicedefaultchangedaction()->set_newdefaultinputobjectid(microphone);
        select.mutable_audiodevicedefaultchangedaction()->set_newdefaultoutputobjectid(desk);
        ASSERT_EQ(ackOf(select).statuscode(), Ack::SUCCESS);
    }

    // Calls bob, a far end that answers by itself: the call's id once
    // confirmed, else -1.
    int callBob() { return callBobFrom(accountId_); }

    int callBobFrom(int accountId)
    {
        const int callId = dialFrom(accountId, "bob");
        if (callId <= 0) {
            return -1;
        }
        const auto confirmed = notification(&Message::has_confirmedcallnotification, [&](const Message& m) {
            return m.confirmedcallnotification().callid() == callId;
        });
        return confirmed ? callId : -1;
    }

    // Dials `number` from the account: the call's id, else -1.
    int dialFrom(int accountId, const std::string& number)
    {
        Message make;
        make.mutable_makecallaction()->set_accountid(accountId);
        make.mutable_makecallaction()->set_phonenumber(number);
        const int callId = engine_.request(make).objectidresponse().objectid();
        Message dial;
        dial.mutable_dialaction()->set_callid(callId);
        return callId > 0 && ackOf(dial).statuscode() == Ack::SUCCESS ? callId : -1;
    }

    // The SIP status of the failure that ended the call, once its end was
    // reported, else -1.
    int failureOf(int callId)
    {
        const auto failed = notification(&Message::has_callmediastatenotification, [&](const Message& m) {
            return m.callmediastatenotification().callid() == callId &&
                   m.callmediastatenotification().sipstatus() >= 300;
        });
        const bool ended = notification(&Message::has_terminatedcallnotification, [&](const Message& m) {
            return m.terminatedcallnotification().callid() == callId;
        }).has_value();
        return failed && ended ? failed->callmediastatenotification().sipstatus() : -1;
    }

    // Creates an account of `user`: its id once its first registration was
    // reported (in `registered`), else -1.
    int createdAccount(const std::string& user, const std::string& password, Message* registered)
    {
        const Message created = engine_.request(TestSupport::createAccount(user, password));
        const auto& response = created.createaccountanswer().objectidresponse();
        if (response.ack().statuscode() != Ack::SUCCESS) {
            ADD_FAILURE() << created.ShortDebugString();
            return -1;
        }
        const int accountId = response.objectid();
        const auto report = notification(&Message::has_accountregstatechangednotification, [&](const Message& m) {
            return m.accountregstatechangednotification().accountid() == accountId;
        });
        if (!report) {
            return -1;
        }
        *registered = *report;
        return accountId;
    }

    // Hangs the call up; whether its end was reported.
    bool hangsUp(int callId)
    {
        Message hangUp;
        hangUp.mutable_hangupaction()->set_callid(callId);
        return ackOf(hangUp).statuscode() == Ack::SUCCESS &&
               notification(&Message::has_terminatedcallnotification,
                            [&](const Message& m) { return m.terminatedcallnotification().callid() == callId; });
    }

    PulseAudioFixture pulse_;  // the devices exist before the engine's first Core
    KamailioFixture kamailio_{{{"alice", "alicepw"}, {"bob", "bobpw"}}, "127.0.0.1", 5060};
    RunningEngine engine_;
    int accountId_ = -1;
};

TEST_F(EngineCallTest, AnOutgoingCallIsDialledHeldRecordedMeasuredAndHungUp)
{
    BaresipFixture bob(farEnd(false));
    Message make;
    make.mutable_makecallaction()->set_accountid(accountId_);
    make.mutable_makecallaction()->set_phonenumber("bob");
    const Message made = engine_.request(make);
    ASSERT_EQ(made.objectidresponse().ack().statuscode(), Ack::SUCCESS) << made.ShortDebugString();
    const int callId = made.objectidresponse().objectid();
    const auto sameCall = [callId](int id) { return id == callId; };

    Message dial;
    dial.mutable_dialaction()->set_callid(callId);
    ASSERT_EQ(ackOf(dial).statuscode(), Ack::SUCCESS);
    ASSERT_TRUE(bob.waitForEvent("CALL_INCOMING")) << bob.log() << kamailio_.log();
    const auto early = notification(&Message::has_earlycallnotification,
                                    [&](const Message& m) { return sameCall(m.earlycallnotification().callid()); });
    ASSERT_TRUE(early);
    EXPECT_EQ(early->earlycallnotification().accountid(), accountId_);

    bob.accept();
    ASSERT_TRUE(notification(&Message::has_confirmedcallnotification,
                             [&](const Message& m) { return sameCall(m.confirmedcallnotification().callid()); }));
    const auto active = notification(&Message::has_callmediastatenotification, [&](const Message& m) {
        return sameCall(m.callmediastatenotification().callid()) && m.callmediastatenotification().mediastate() == 1;
    });
    ASSERT_TRUE(active);
    EXPECT_FALSE(active->callmediastatenotification().codecname().empty());

    Message getCall;
    getCall.mutable_getcallaction()->set_accountid(accountId_);
    getCall.mutable_getcallaction()->set_pjsipcallid(early->earlycallnotification().pjsipcallid());
    EXPECT_EQ(engine_.request(getCall).objectidresponse().objectid(), callId);

    Message dtmf;
    dtmf.mutable_dialdtmfaction()->set_callid(callId);
    dtmf.mutable_dialdtmfaction()->set_digit("5");
    EXPECT_EQ(ackOf(dtmf).statuscode(), Ack::SUCCESS);
    EXPECT_TRUE(bob.waitForEvent("CALL_DTMF_START")) << bob.log();

    // Record the call while both sides speak.
    Message createRecorder;
    createRecorder.mutable_audiorecordercreateaction();
    const Message recorder = engine_.request(createRecorder);
    ASSERT_EQ(recorder.objectidresponse().ack().statuscode(), Ack::SUCCESS) << recorder.ShortDebugString();
    const int recorderId = recorder.objectidresponse().objectid();
    Message startRecorder;
    startRecorder.mutable_audiorecorderstartaction()->set_objectid(recorderId);
    startRecorder.mutable_audiorecorderstartaction()->set_callid(callId);
    ASSERT_EQ(ackOf(startRecorder).statuscode(), Ack::SUCCESS);

    std::this_thread::sleep_for(2s);  // two seconds of voice in the recording
    // The counters grow both ways (a loaded machine's audio device may start late).
    Message mos;
    mos.mutable_mosupdateaction()->set_callid(callId);
    Message measured;
    std::int64_t txTotal = 0;
    std::int64_t rxTotal = 0;
    for (int attempt = 0; attempt < 20 && (txTotal <= 50 || rxTotal <= 50); ++attempt) {
        if (attempt > 0) {
            std::this_thread::sleep_for(500ms);
        }
        measured = engine_.request(mos);
        ASSERT_TRUE(measured.has_mosupdateanswer()) << measured.ShortDebugString();
        txTotal += measured.mosupdateanswer().txpacketsdelta();
        rxTotal += measured.mosupdateanswer().rxpacketsdelta();
    }
    EXPECT_EQ(measured.mosupdateanswer().callid(), callId);
    EXPECT_EQ(measured.mosupdateanswer().accountid(), accountId_);
    EXPECT_GT(txTotal, 50);
    EXPECT_GT(rxTotal, 50);
    EXPECT_EQ(measured.mosupdateanswer().txpackets() >= txTotal, true);

    Message stopRecorder;
    stopRecorder.mutable_audiorecorderstopaction()->set_objectid(recorderId);
    EXPECT_EQ(ackOf(stopRecorder).statuscode(), Ack::SUCCESS);
    Message disposeRecorder;
    disposeRecorder.mutable_audiorecorderdisposeaction()->set_objectid(recorderId);
    EXPECT_EQ(ackOf(disposeRecorder).statuscode(), Ack::SUCCESS);
    const std::string recordPath =
        engine_.engine().workingDirectory() + "/records/record" + std::to_string(recorderId) + ".wav";
    const WavFile recorded = WavFile::read(recordPath);
    EXPECT_EQ(recorded.sampleRate, 16000);  // whatever the call's codec
    const ToneDetector detector(recorded.sampleRate);
    EXPECT_GT(detector.blocksWithTone(recorded.samples, kFarTone, 0.2), 10);

    // Hold and resume, each reported back.
    Message hold;
    hold.mutable_callholdaction()->set_accountid(accountId_);
    hold.mutable_callholdaction()->set_callid(callId);
    hold.mutable_callholdaction()->set_hold(true);
    EXPECT_EQ(ackOf(hold).statuscode(), Ack::SUCCESS);
    const auto held = notification(&Message::has_holdstatechangednotification, [&](const Message& m) {
        return sameCall(m.holdstatechangednotification().callid());
    });
    ASSERT_TRUE(held);
    EXPECT_TRUE(held->holdstatechangednotification().ishold());
    hold.mutable_callholdaction()->set_hold(false);
    EXPECT_EQ(ackOf(hold).statuscode(), Ack::SUCCESS);
    const auto resumed = notification(&Message::has_holdstatechangednotification, [&](const Message& m) {
        return sameCall(m.holdstatechangednotification().callid());
    });
    ASSERT_TRUE(resumed);
    EXPECT_FALSE(resumed->holdstatechangednotification().ishold());

    Message hangUp;
    hangUp.mutable_hangupaction()->set_callid(callId);
    EXPECT_EQ(ackOf(hangUp).statuscode(), Ack::SUCCESS);
    const auto terminated = notification(&Message::has_terminatedcallnotification, [&](const Message& m) {
        return sameCall(m.terminatedcallnotification().callid());
    });
    ASSERT_TRUE(terminated);
    EXPECT_TRUE(bob.waitForEvent("CALL_CLOSED"));

    // The far end heard our microphone.
    const auto recordings = bob.receivedRecordings();
    ASSERT_FALSE(recordings.empty()) << bob.log();
    const WavFile heard = WavFile::read(recordings.back());
    EXPECT_GT(ToneDetector(heard.sampleRate).blocksWithTone(heard.samples, kOurTone), 10);
}

TEST_F(EngineCallTest, OnlyChangesOfTheMediaBecomeMediaRecords)
{
    // The media records of `callId` the client has been sent so far and not taken.
    const auto mediaRecords = [this](int callId) {
        engine_.request(TestSupport::stackQuery());  // reads what arrived meanwhile
        std::vector<Proto::CallMediaStateNotification> records;
        for (const Message& m : engine_.client().kept()) {
            if (m.has_callmediastatenotification() && m.callmediastatenotification().callid() == callId) {
                records.push_back(m.callmediastatenotification());
            }
        }
        return records;
    };
    const auto makeCall = [this](const std::string& number) {
        Message make;
        make.mutable_makecallaction()->set_accountid(accountId_);
        make.mutable_makecallaction()->set_phonenumber(number);
        const int callId = engine_.request(make).objectidresponse().objectid();
        Message dial;
        dial.mutable_dialaction()->set_callid(callId);
        EXPECT_EQ(ackOf(dial).statuscode(), Ack::SUCCESS);
        return callId;
    };
    const auto terminated = [this](int callId) {
        return notification(&Message::has_terminatedcallnotification,
                            [&](const Message& m) { return m.terminatedcallnotification().callid() == callId; });
    };

    // A call that fails reports its final answer, and no media of its own.
    const int refused = makeCall("nobody");
    ASSERT_TRUE(terminated(refused));
    std::this_thread::sleep_for(1s);  // the call's records come from its own thread
    const auto refusedRecords = mediaRecords(refused);
    EXPECT_TRUE(std::any_of(refusedRecords.begin(), refusedRecords.end(),
                            [](const auto& r) { return r.sipstatus() == 404; }));
    for (const auto& record : refusedRecords) {
        EXPECT_EQ(record.mediastate(), 0) << record.ShortDebugString();
    }

    BaresipFixture bob(farEnd(true));
    const int callId = makeCall("bob");
    ASSERT_TRUE(notification(&Message::has_confirmedcallnotification,
                             [&](const Message& m) { return m.confirmedcallnotification().callid() == callId; }));
    ASSERT_TRUE(notification(&Message::has_callmediastatenotification, [&](const Message& m) {
        return m.callmediastatenotification().callid() == callId && m.callmediastatenotification().mediastate() == 1;
    }));
    ASSERT_TRUE(bob.waitForEvent("CALL_REMOTE_SDP")) << bob.log();  // the call's own offer

    // Another speaker: the call is re-INVITEd onto it, and its media stay as they were.
    Message create;
    create.mutable_audiodevicemanagercreateaction();
    const Message created = engine_.request(create);
    int desk = -1;
    int microphone = -1;
    for (const auto& device : created.audiodevicemanagercreateanswer().audiodevicenotification().audiodevices()) {
        if (device.name().find("Desk Speaker") != std::string::npos && device.isoutputdevice()) {
            desk = device.objectid();
        }
        if (device.name().find("Headset Microphone") != std::string::npos && device.isinputdevice()) {
            microphone = device.objectid();
        }
    }
    ASSERT_GE(desk, 0) << created.ShortDebugString();
    ASSERT_GE(microphone, 0) << created.ShortDebugString();
    std::this_thread::sleep_for(500ms);
    const std::size_t before = mediaRecords(callId).size();
    Message select;
    select.mutable_audiodevicedefaultchangedaction()->set_newdefaultinputobjectid(microphone);
    select.mutable_audiodevicedefaultchangedaction()->set_newdefaultoutputobjectid(desk);
    EXPECT_EQ(ackOf(select).statuscode(), Ack::SUCCESS);
    const auto reinvite = bob.waitForEvent("CALL_REMOTE_SDP", 5s);
    ASSERT_TRUE(reinvite) << bob.log();
    EXPECT_EQ(reinvite->param, "offer");
    std::this_thread::sleep_for(1s);
    const auto afterDevice = mediaRecords(callId);
    EXPECT_EQ(afterDevice.size(), before);
    for (std::size_t i = before; i < afterDevice.size(); ++i) {
        EXPECT_EQ(afterDevice[i].mediastate(), 1) << afterDevice[i].ShortDebugString();
    }

    // An ended call reports its end, and no media after it.
    const std::size_t beforeEnd = afterDevice.size();
    bob.hangup();
    ASSERT_TRUE(terminated(callId));
    std::this_thread::sleep_for(1s);
    const auto afterEnd = mediaRecords(callId);
    EXPECT_EQ(afterEnd.size(), beforeEnd);
    for (std::size_t i = beforeEnd; i < afterEnd.size(); ++i) {
        ADD_FAILURE() << afterEnd[i].ShortDebugString();
    }
}

TEST_F(EngineCallTest, AnIncomingCallIsNotifiedAnsweredAndEndedByTheFarEnd)
{
    BaresipFixture bob(farEnd(true));
    bob.dial("sip:alice@127.0.0.1");
    const auto incoming = notification(&Message::has_incomingcallnotification);
    ASSERT_TRUE(incoming) << bob.log() << kamailio_.log();
    const auto& call = incoming->incomingcallnotification();
    EXPECT_EQ(call.accountid(), accountId_);
    EXPECT_NE(call.sipmessage().find("INVITE"), std::string::npos);
    // The 180 it was answered with makes it early, as an outgoing call.
    const auto early = notification(&Message::has_earlycallnotification, [&](const Message& m) {
        return m.earlycallnotification().callid() == call.callid();
    });
    ASSERT_TRUE(early);
    EXPECT_EQ(early->earlycallnotification().accountid(), accountId_);
    EXPECT_EQ(early->earlycallnotification().pjsipcallid(), call.pjsipcallid());
    EXPECT_TRUE(notification(&Message::has_callmediastatenotification, [&](const Message& m) {
        return m.callmediastatenotification().callid() == call.callid() &&
               m.callmediastatenotification().sipstatus() == 180;
    }));

    Message answer;
    answer.mutable_answeraudioaction()->set_callid(call.callid());
    EXPECT_EQ(ackOf(answer).statuscode(), Ack::SUCCESS);
    ASSERT_TRUE(notification(&Message::has_confirmedcallnotification, [&](const Message& m) {
        return m.confirmedcallnotification().callid() == call.callid();
    }));
    ASSERT_TRUE(bob.waitForEvent("CALL_ESTABLISHED")) << bob.log();
    bob.hangup();
    ASSERT_TRUE(notification(&Message::has_terminatedcallnotification, [&](const Message& m) {
        return m.terminatedcallnotification().callid() == call.callid();
    }));
}

TEST_F(EngineCallTest, DevicesAreListedAndSelectedAndAPlayerPlaysOnTheChosenSink)
{
    Message select;
    ASSERT_NO_FATAL_FAILURE(selectDeskSpeaker(select));
    Message unknown = select;
    unknown.mutable_audiodevicedefaultchangedaction()->set_newdefaultoutputobjectid(9999);
    EXPECT_EQ(ackOf(unknown).statuscode(), Ack::FAILED);

    // The player's files lie in the sounds folder beside the executable.
    const std::string file = "e2e-" + std::to_string(::getpid()) + ".wav";
    WavFile::makeTone(TestSupport::soundsFolder() + "/" + file, 8000, 440.0, 4.0);
    Message player;
    player.mutable_audioplayercreateaction()->set_filename(file);
    player.mutable_audioplayercreateaction()->set_callid(-1);
    const Message playerCreated = engine_.request(player);
    ASSERT_EQ(playerCreated.objectidresponse().ack().statuscode(), Ack::SUCCESS) << playerCreated.ShortDebugString();
    const int playerId = playerCreated.objectidresponse().objectid();
    Message play;
    play.mutable_audioplayerplayaction()->set_objectid(playerId);
    const Ack playing = ackOf(play);
    std::remove((TestSupport::soundsFolder() + "/" + file).c_str());
    ASSERT_EQ(playing.statuscode(), Ack::SUCCESS) << playing.statusmessage();
    const auto played = pulse_.captureSink("desk_speaker", 3000ms);
    EXPECT_GT(ToneDetector(8000).blocksWithTone(played, 440.0), 5);

    Message stop;
    stop.mutable_audioplayerstopaction()->set_objectid(playerId);
    EXPECT_EQ(ackOf(stop).statuscode(), Ack::SUCCESS);
    Message dispose;
    dispose.mutable_audioplayerdisposeaction()->set_objectid(playerId);
    EXPECT_EQ(ackOf(dispose).statuscode(), Ack::SUCCESS);
    EXPECT_EQ(ackOf(play).statuscode(), Ack::FAILED);
}

TEST_F(EngineCallTest, TheRingbackTheBuildMadeIsPlayedByItsName)
{
    // Beside the executable from the build on, as a new installation has it.
    const WavFile ringback = WavFile::read(TestSupport::soundsFolder() + "/ringback.wav");
    EXPECT_EQ(ringback.sampleRate, 8000);
    EXPECT_EQ(ringback.channels, 1);
    EXPECT_EQ(ringback.samples.size(), 4u * 8000u);

    Message select;
    ASSERT_NO_FATAL_FAILURE(selectDeskSpeaker(select));

    Message player;
    player.mutable_audioplayercreateaction()->set_filename("ringback.wav");
    player.mutable_audioplayercreateaction()->set_callid(-1);
    player.mutable_audioplayercreateaction()->set_loop(true);
    const Message playerCreated = engine_.request(player);
    ASSERT_EQ(playerCreated.objectidresponse().ack().statuscode(), Ack::SUCCESS) << playerCreated.ShortDebugString();
    Message play;
    play.mutable_audioplayerplayaction()->set_objectid(playerCreated.objectidresponse().objectid());
    ASSERT_EQ(ackOf(play).statuscode(), Ack::SUCCESS);
    // Four seconds hold at least one second of tone, wherever they start.
    const auto played = pulse_.captureSink("desk_speaker", 4000ms);
    EXPECT_GT(ToneDetector(8000).blocksWithTone(played, 425.0), 5);
}

TEST_F(EngineCallTest, ASoundServerRestartDuringACallIsReportedAndTheCallsGoOn)
{
    Message create;
    create.mutable_audiodevicemanagercreateaction();
    ASSERT_EQ(engine_.request(create).audiodevicemanagercreateanswer().ack().statuscode(), Ack::SUCCESS);
    BaresipFixture bob(farEnd(true));
    const auto call = [&]() {
        const int callId = callBob();
        EXPECT_GT(callId, 0);
        EXPECT_TRUE(notification(&Message::has_callmediastatenotification, [&](const Message& m) {
            return m.callmediastatenotification().callid() == callId && m.callmediastatenotification().mediastate() == 1;
        }));
        return callId;
    };
    const auto hangUp = [&](int callId) { EXPECT_TRUE(hangsUp(callId)); };
    // The packets a call sent during `span` (its sent counter moves in steps
    // of a few seconds' packets).
    const auto sent = [&](int callId, std::chrono::milliseconds span) {
        Message mos;
        mos.mutable_mosupdateaction()->set_callid(callId);
        engine_.request(mos);
        std::this_thread::sleep_for(span);
        return engine_.request(mos).mosupdateanswer().txpacketsdelta();
    };
    const int callId = call();

    pulse_.kill();
    // The call keeps sending (silence) while no sound server is there.
    EXPECT_GT(sent(callId, 3s), 50);

    // The new server's devices are reported, also during the call.
    pulse_.restart();
    const auto reported = notification(&Message::has_audiodevicenotification, [](const Message& m) {
        for (const auto& device : m.audiodevicenotification().audiodevices()) {
            if (device.name().find("Headset Speaker") != std::string::npos) {
                return true;
            }
        }
        return false;
    });
    ASSERT_TRUE(reported);

    Message hold;
    hold.mutable_callholdaction()->set_accountid(accountId_);
    hold.mutable_callholdaction()->set_callid(callId);
    hold.mutable_callholdaction()->set_hold(true);
    EXPECT_EQ(ackOf(hold).statuscode(), Ack::SUCCESS);
    const auto held = notification(&Message::has_holdstatechangednotification, [&](const Message& m) {
        return m.holdstatechangednotification().callid() == callId && m.holdstatechangednotification().ishold();
    });
    EXPECT_TRUE(held);
    hangUp(callId);

    const int next = call();
    EXPECT_GT(sent(next, 3s), 50);
    // The next call stays up: the stop (TearDown) ends it with the engine.
}

TEST_F(EngineCallTest, TheShutdownEndsTheChannelThenTheCallThenTheStackAndTheLogLast)
{
    // Something of every kind for the shutdown to end: a call with its
    // recorder, a player that plays, the device refresh.
    Message devices;
    devices.mutable_audiodevicemanagercreateaction();
    ASSERT_EQ(ackOf(devices).statuscode(), Ack::SUCCESS);
    BaresipFixture bob(farEnd(true));
    const int callId = callBob();
    ASSERT_GT(callId, 0) << bob.log();
    Message createRecorder;
    createRecorder.mutable_audiorecordercreateaction();
    const int recorderId = engine_.request(createRecorder).objectidresponse().objectid();
    Message startRecorder;
    startRecorder.mutable_audiorecorderstartaction()->set_objectid(recorderId);
    startRecorder.mutable_audiorecorderstartaction()->set_callid(callId);
    EXPECT_EQ(ackOf(startRecorder).statuscode(), Ack::SUCCESS);
    const std::string file = "e2e-" + std::to_string(::getpid()) + "-loop.wav";
    WavFile::makeTone(TestSupport::soundsFolder() + "/" + file, 8000, 440.0, 2.0);
    Message player;
    player.mutable_audioplayercreateaction()->set_filename(file);
    player.mutable_audioplayercreateaction()->set_loop(true);
    const int playerId = engine_.request(player).objectidresponse().objectid();
    Message play;
    play.mutable_audioplayerplayaction()->set_objectid(playerId);
    const Ack playing = ackOf(play);
    std::remove((TestSupport::soundsFolder() + "/" + file).c_str());
    ASSERT_EQ(playing.statuscode(), Ack::SUCCESS) << playing.statusmessage();

    ASSERT_EQ(engine_.terminate(), 0) << engine_.engine().console();
    const std::string log = engine_.engine().log();
    // As the log saw it: the channel's worker ends first, then the teardown
    // ends the call before the stack goes, and the stack's stop is the last
    // line (what is deleted after the log was closed leaves none).
    std::size_t at = log.find("Stop signal received: signal=SIGTERM");
    ASSERT_NE(at, std::string::npos) << log;
    for (const char* line : {"I Closing passive socket\n", "I Exiting OVRA\n", "D Destroyed SIP call: pjsipCallId=",
                             "I Stopping SIP stack.\n", "I SIP stack stopped.\n"}) {
        const auto next = log.find(line, at);
        ASSERT_NE(next, std::string::npos) << line << " after position " << at << ":\n" << log.substr(at);
        at = next;
    }
    EXPECT_EQ(log.size(), at + std::string("I SIP stack stopped.\n").size()) << log.substr(at);
    // As the world saw it: the far end's call was ended, the recording of the
    // call was written out, and the account unregistered (TearDown).
    EXPECT_TRUE(bob.waitForEvent("CALL_CLOSED")) << bob.log();
    const std::string recording =
        engine_.engine().workingDirectory() + "/records/record" + std::to_string(recorderId) + ".wav";
    EXPECT_GT(TestSupport::TempDir::readFile(recording).size(), 44u) << recording;
}

TEST_F(EngineCallTest, ARegistrarRestartDuringACallIsReportedAndAHangUpWhileItIsAwayReachesTheFarEnd)
{
    BaresipFixture bob(farEnd(true));
    const int callId = callBob();
    ASSERT_GT(callId, 0) << bob.log();

    // The registrar forgets every registration: the client hears of it and
    // of the registration that follows, while the call goes on.
    kamailio_.restart();
    const auto regState = [this](bool connected) {
        return [this, connected](const Message& m) {
            const auto& state = m.accountregstatechangednotification();
            return state.accountid() == accountId_ && state.isconnected() == connected;
        };
    };
    const auto lost = notification(&Message::has_accountregstatechangednotification, regState(false), 30s);
    ASSERT_TRUE(lost) << kamailio_.log();
    EXPECT_EQ(lost->accountregstatechangednotification().statuscode(), 404);
    const auto back = notification(&Message::has_accountregstatechangednotification, regState(true), 15s);
    ASSERT_TRUE(back) << kamailio_.log();
    EXPECT_EQ(back->accountregstatechangednotification().statuscode(), 200);
    EXPECT_TRUE(kamailio_.waitForRegistration("alice", 5s)) << kamailio_.dumpRegistrations();

    // Hung up while the registrar, the call's proxy, is away.
    kamailio_.stop();
    Message hangUp;
    hangUp.mutable_hangupaction()->set_callid(callId);
    EXPECT_EQ(ackOf(hangUp).statuscode(), Ack::SUCCESS);
    EXPECT_TRUE(notification(&Message::has_terminatedcallnotification, [&](const Message& m) {
        return m.terminatedcallnotification().callid() == callId;
    }));
    EXPECT_TRUE(bob.waitForEvent("CALL_CLOSED", 15s)) << bob.log();
    kamailio_.restart();
}

TEST_F(EngineCallTest, TheIdleShutdownComesOnePeriodAfterTheHangUpOfTheLastCall)
{
    BaresipFixture bob(farEnd(true));
    const int callId = callBob();
    ASSERT_GT(callId, 0) << bob.log();

    // The call is deleted a few seconds after it ended, well within the period.
    Message hangUp;
    hangUp.mutable_hangupaction()->set_callid(callId);
    TestSupport::expectOnePeriod(TestSupport::idleShutdownAfter(engine_, hangUp), "the hang-up of the last call");
    EXPECT_TRUE(kamailio_.waitForRegistration("alice", 5s, false)) << kamailio_.dumpRegistrations();
    EXPECT_EQ(engine_.request(TestSupport::stackQuery()).sipstackstatusanswer().status(),
              Proto::SipStackStatusAnswer::STOPPED);
}

TEST_F(EngineCallTest, TheIdleShutdownComesOnePeriodAfterAPromptWasPlayed)
{
    // A prompt that ends by itself during the silence; its player stays.
    const std::string file = "idle-" + std::to_string(::getpid()) + ".wav";
    WavFile::makeTone(TestSupport::soundsFolder() + "/" + file, 8000, 440.0, 1.0);
    Message player;
    player.mutable_audioplayercreateaction()->set_filename(file);
    const Message created = engine_.request(player);
    std::remove((TestSupport::soundsFolder() + "/" + file).c_str());
    ASSERT_EQ(created.objectidresponse().ack().statuscode(), Ack::SUCCESS) << created.ShortDebugString();
    Message play;
    play.mutable_audioplayerplayaction()->set_objectid(created.objectidresponse().objectid());
    TestSupport::expectOnePeriod(TestSupport::idleShutdownAfter(engine_, play), "a prompt was played");
    EXPECT_TRUE(kamailio_.waitForRegistration("alice", 5s, false)) << kamailio_.dumpRegistrations();
    EXPECT_EQ(engine_.request(TestSupport::stackQuery()).sipstackstatusanswer().status(),
              Proto::SipStackStatusAnswer::STOPPED);
    EXPECT_EQ(ackOf(play).statusmessage(), "Invalid audio player ID: audioPlayerId=" +
                                              std::to_string(created.objectidresponse().objectid()));
}

// A softphone may log in again with an account it still has: both
// accounts register and place calls. The stack holds one password per
// identity, so a login with another password gives it to both: with a
// wrong one, a call of the first account ends with the challenge instead
// of waiting for credentials, and a password update of either account
// lets the calls through again.
TEST_F(EngineCallTest, ACallStartsAlthoughAnotherAccountHasItsIdentity)
{
    BaresipFixture bob(farEnd(true));
    Message registered;
    const int twinId = createdAccount("alice", "alicepw", &registered);
    ASSERT_GT(twinId, 0) << kamailio_.log();
    EXPECT_TRUE(registered.accountregstatechangednotification().isconnected())
        << registered.ShortDebugString() << kamailio_.log();
    for (const int accountId : {accountId_, twinId}) {
        const int callId = callBobFrom(accountId);
        ASSERT_GT(callId, 0) << "account " << accountId << "\n" << bob.log() << kamailio_.log();
        EXPECT_TRUE(hangsUp(callId));
    }

    const int wrongId = createdAccount("alice", "wrong", &registered);
    ASSERT_GT(wrongId, 0) << kamailio_.log();
    EXPECT_FALSE(registered.accountregstatechangednotification().isconnected());
    EXPECT_EQ(registered.accountregstatechangednotification().statuscode(), 401);
    const int refusedId = dialFrom(accountId_, "bob");
    ASSERT_GT(refusedId, 0);
    EXPECT_EQ(failureOf(refusedId), 407) << kamailio_.log();

    Message update;
    update.mutable_updateaccountpasswordaction()->set_accountid(wrongId);
    update.mutable_updateaccountpasswordaction()->set_newpassword("alicepw");
    ASSERT_EQ(ackOf(update).statuscode(), Ack::SUCCESS);
    const auto again = notification(&Message::has_accountregstatechangednotification, [&](const Message& m) {
        return m.accountregstatechangednotification().accountid() == wrongId;
    });
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->accountregstatechangednotification().isconnected()) << kamailio_.log();
    const int callId = callBobFrom(accountId_);
    ASSERT_GT(callId, 0) << bob.log() << kamailio_.log();
    EXPECT_TRUE(hangsUp(callId));
}

// The registrar challenges the call of an account without a password and
// refuses the empty one: the call ends with the challenge, and the engine
// stops without leaving it behind.
TEST_F(EngineCallTest, ACallThatCannotAuthenticateIsReportedEndedWithTheChallenge)
{
    Message registered;
    const int bobId = createdAccount("bob", "", &registered);
    ASSERT_GT(bobId, 0) << kamailio_.log();
    EXPECT_EQ(registered.accountregstatechangednotification().statuscode(), 401);
    const int callId = dialFrom(bobId, "alice");
    ASSERT_GT(callId, 0);
    EXPECT_EQ(failureOf(callId), 407) << kamailio_.log();
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
