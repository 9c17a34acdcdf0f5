#include "sip/SipCall.h"

#include <gtest/gtest.h>

#include <linphone++/linphone.hh>

#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include <linphone++/linphone.hh>

#include "sip/SipAccount.h"
#include "sip/SipCallTestSupport.h"
#include "sip/SipError.h"
#include "sip/SipStack.h"
#include "support/BaresipFixture.h"
#include "support/PacketLoss.h"
#include "support/SippFixture.h"
#include "support/ToneDetector.h"
#include "support/WavFile.h"

namespace Tarvent::VirtualChannel::TestSupport {
namespace {

using namespace std::chrono_literals;

// The stack's microphone is the PulseAudio sine source (1 kHz); the far
// ends speak other tones.
constexpr double kOurTone = 1000.0;
constexpr double kFarTone = 697.0;

BaresipFixture::Options farEnd(const std::string& user, const KamailioFixture& registrar, bool autoAnswer)
{
    BaresipFixture::Options options;
    options.user = user;
    options.registrar = &registrar;
    options.password = SipCallTest::kUsersFor(user);
    options.autoAnswer = autoAnswer;
    options.toneHz = kFarTone;
    return options;
}

TEST_F(SipCallTest, OutgoingCallGoesThroughEarlyAndConfirmedToTerminated)
{
    BaresipFixture bob(farEnd("bob", *kamailio_, false));
    const auto account = registeredAccount("alice");
    const auto call = account->createCall("bob");
    call->dial();
    EXPECT_EQ(call->getPjsipCallId(), 0);
    EXPECT_EQ(account->findCall(0), call);

    ASSERT_TRUE(bob.waitForEvent("CALL_INCOMING")) << bob.log() << kamailio_->log();
    ASSERT_TRUE(events_.take("early", call));
    EXPECT_TRUE(call->isPending());
    const auto ringing = events_.take("media", call, 5s, [](const SipEvent& e) { return e.media.sipStatus == 180; });
    EXPECT_TRUE(ringing);

    bob.accept();
    ASSERT_TRUE(events_.take("confirmed", call));
    EXPECT_TRUE(call->isConfirmed());
    EXPECT_FALSE(call->isPending());
    const auto answered = events_.take("media", call, 5s, [](const SipEvent& e) { return e.media.sipStatus == 200; });
    ASSERT_TRUE(answered);
    EXPECT_EQ(answered->media.displayNumber, "bob");
    const auto active = events_.take("media", call, 5s, [](const SipEvent& e) { return e.media.mediaState == 1; });
    ASSERT_TRUE(active);
    EXPECT_FALSE(active->media.codecName.empty());
    EXPECT_GT(active->media.codecClockRate, 0u);
    EXPECT_FALSE(active->media.srtpActive);
    EXPECT_NE(kamailio_->log().find("challenged INVITE from alice"), std::string::npos);

    // Media flows both ways and the counters grow.
    // At least two seconds of voice for the far end to record; on a loaded
    // machine the sound device may start late, so wait for the packets too.
    const SipCallStatistics first = call->updateCallStatistics();
    std::this_thread::sleep_for(2s);
    SipCallStatistics second = call->updateCallStatistics();
    long long txSum = second.txPacketsDelta;
    long long rxSum = second.rxPacketsDelta;
    long long durationSum = second.durationDelta;
    EXPECT_EQ(second.txPackets, first.txPackets + second.txPacketsDelta);
    for (int i = 0; i < 40 && (txSum <= 50 || rxSum <= 50); ++i) {
        std::this_thread::sleep_for(250ms);
        second = call->updateCallStatistics();
        txSum += second.txPacketsDelta;
        rxSum += second.rxPacketsDelta;
        durationSum += second.durationDelta;
    }
    EXPECT_GT(txSum, 50);
    EXPECT_GT(rxSum, 50);
    // G.711 at 20 ms: 160 bytes of payload per packet, the RTP headers not counted.
    EXPECT_EQ(active->media.codecClockRate, 8000u);
    EXPECT_EQ(second.txBytes, 160LL * second.txPackets);
    EXPECT_EQ(second.rxBytes, 160LL * second.rxPackets);
    EXPECT_GE(durationSum, 2000);

    bob.hangup();
    const auto terminated = events_.take("terminated", call);
    ASSERT_TRUE(terminated);
    EXPECT_EQ(terminated->status, ISipCallCallback::kReasonUnknown);
    EXPECT_FALSE(call->isConfirmed());
    EXPECT_EQ(call->getLastState(), SipCall::kDisconnected);
    EXPECT_FALSE(call->isDueForDeletion());  // five seconds from the end

    const auto recordings = bob.receivedRecordings();
    ASSERT_EQ(recordings.size(), 1u) << bob.log();
    const WavFile heard = WavFile::read(recordings.front());
    const ToneDetector detector(heard.sampleRate);
    EXPECT_GT(detector.blocksWithTone(heard.samples, kOurTone), 10);
}

// A working day's calls must not pile up in the stack: the library keeps
// no record of a call once the call is gone, whoever ended it and however.
TEST_F(SipCallTest, EndedCallsLeaveNoCallLogsInTheStack)
{
    BaresipFixture bob(farEnd("bob", *kamailio_, true));
    const auto account = registeredAccount("alice");
    SipStack& stack = SipStack::getInstance();

    const auto outgoing = account->createCall("bob");
    outgoing->dial();
    ASSERT_TRUE(events_.take("confirmed", outgoing)) << bob.log();
    // While the call lasts, its own log is there to be read.
    EXPECT_FALSE(stack.runOnCore([](const std::shared_ptr<linphone::Core>& core) {
        const auto call = core->getCurrentCall();
        return call && call->getCallLog() ? call->getCallLog()->getCallId() : std::string();
    }).empty());
    outgoing->hangup();
    ASSERT_TRUE(events_.take("terminated", outgoing));
    ASSERT_TRUE(bob.waitForEvent("CALL_CLOSED")) << bob.log();

    const auto refused = account->createCall("nobody");
    refused->dial();
    ASSERT_TRUE(events_.take("terminated", refused));

    bob.dial("sip:alice@127.0.0.1");
    const auto incoming = events_.take("incoming");
    ASSERT_TRUE(incoming) << bob.log();
    incoming->call->answerAudio();
    ASSERT_TRUE(events_.take("confirmed", incoming->call));
    ASSERT_TRUE(bob.waitForEvent("CALL_ESTABLISHED")) << bob.log();
    bob.hangup();
    ASSERT_TRUE(events_.take("terminated", incoming->call));

    // A call's log is filed as the call ends, before the call is released.
    const auto released = [&stack] {
        return stack.runOnCore([](const std::shared_ptr<linphone::Core>& core) { return core->getCallsNb() == 0; });
    };
    for (int i = 0; i < 100 && !released(); ++i) {
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(released());
    EXPECT_EQ(stack.runOnCore([](const std::shared_ptr<linphone::Core>& core) { return core->getCallLogs().size(); }),
              0u);
}

TEST_F(SipCallTest, NotFoundAndBusyEndTheCallWithTheirReasons)
{
    BaresipFixture bob(farEnd("bob", *kamailio_, false));
    const auto account = registeredAccount("alice");

    const auto nobody = account->createCall("nobody");
    nobody->dial();
    const auto notFound = events_.take("terminated", nobody);
    ASSERT_TRUE(notFound);
    EXPECT_EQ(notFound->status, ISipCallCallback::kReasonNotFound);
    const auto final404 = events_.take("media", nobody, 5s, [](const SipEvent& e) { return e.media.sipStatus == 404; });
    EXPECT_TRUE(final404);

    const auto busy = account->createCall("bob");
    busy->dial();
    ASSERT_TRUE(bob.waitForEvent("CALL_INCOMING")) << bob.log();
    bob.hangup();  // an unanswered call is refused 486
    const auto busyHere = events_.take("terminated", busy);
    ASSERT_TRUE(busyHere);
    EXPECT_EQ(busyHere->status, ISipCallCallback::kReasonBusyHere);
}

// DTMF goes out on the call's audio: a call that rings has none yet, and a
// call that has ended has none any more, although the stack keeps the call
// until its INVITE transaction is over (here: a far end that confirms the
// CANCEL but ends the INVITE only seconds later). Digits taken there would
// be sent by a stack timer a moment later, into audio that is gone.
TEST_F(SipCallTest, DtmfIsRefusedWhileTheCallRingsAndOnceItHasEnded)
{
    SippFixture callee("uas_ring_slow_cancel.xml", "", {"-m", "1"});
    ASSERT_TRUE(registerAt(*kamailio_, "dave", callee));
    const auto account = registeredAccount("alice");
    const auto call = account->createCall("dave");
    call->dial();
    ASSERT_TRUE(events_.take("media", call, 5s, [](const SipEvent& e) { return e.media.sipStatus == 180; }))
        << callee.output() << callee.messages();
    EXPECT_THROW(call->dialDtmf("1"), std::runtime_error);

    call->hangup();
    ASSERT_TRUE(events_.take("terminated", call));
    EXPECT_THROW(call->dialDtmf("1"), std::runtime_error);
    EXPECT_THROW(call->dialDtmf("123#"), std::runtime_error);
    // Longer than the stack's pause before a sequence's first digit: had it
    // been taken, it would go out now.
    std::this_thread::sleep_for(1s);
    // The far end ends the INVITE at last, and the stack lets go of the call
    // (a call still open at the stack's stop is never freed by the library).
    EXPECT_EQ(callee.wait(15s), 0) << callee.output() << callee.messages();
    const auto released = [&] {
        return SipStack::getInstance().runOnCore([&](const auto&) { return call->getLinphoneCall() == nullptr; });
    };
    for (int i = 0; i < 100 && !released(); ++i) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(released()) << callee.messages() << kamailio_->log();
}

TEST_F(SipCallTest, IncomingCallRingsAndIsAnsweredWithAudio)
{
    BaresipFixture bob(farEnd("bob", *kamailio_, true));
    const auto account = registeredAccount("alice");
    bob.dial("sip:alice@127.0.0.1");

    const auto incoming = events_.take("incoming");
    ASSERT_TRUE(incoming) << bob.log();
    EXPECT_EQ(incoming->account, account);
    const auto call = incoming->call;
    EXPECT_EQ(call->getPjsipCallId(), 0);
    EXPECT_EQ(account->findCall(0), call);
    EXPECT_NE(incoming->text.find("INVITE sip:"), std::string::npos) << incoming->text;
    EXPECT_NE(incoming->text.find("bob"), std::string::npos) << incoming->text;
    ASSERT_TRUE(bob.waitForEvent("CALL_RINGING")) << bob.log();
    EXPECT_TRUE(call->isPending());

    call->answerAudio();
    ASSERT_TRUE(events_.take("confirmed", call));
    ASSERT_TRUE(bob.waitForEvent("CALL_ESTABLISHED")) << bob.log();
    const auto answered = events_.take("media", call, 5s, [](const SipEvent& e) { return e.media.mediaState == 1; });
    ASSERT_TRUE(answered);

    call->hangup();
    ASSERT_TRUE(events_.take("terminated", call));
    EXPECT_TRUE(bob.waitForEvent("CALL_CLOSED"));
}

TEST_F(SipCallTest, ASecondIncomingCallWhileOneIsPendingIsAnsweredBusy)
{
    BaresipFixture bob(farEnd("bob", *kamailio_, true));
    BaresipFixture carol(farEnd("carol", *kamailio_, true));
    const auto account = registeredAccount("alice");

    bob.dial("sip:alice@127.0.0.1");
    const auto first = events_.take("incoming");
    ASSERT_TRUE(first) << bob.log();
    carol.dial("sip:alice@127.0.0.1");
    const auto second = events_.take("incoming");
    ASSERT_TRUE(second) << carol.log();
    EXPECT_TRUE(second->call->isRejectedBusy());
    EXPECT_FALSE(first->call->isRejectedBusy());
    const auto closed = carol.waitForEvent("CALL_CLOSED");
    ASSERT_TRUE(closed) << carol.log();
    EXPECT_NE(closed->raw.find("486"), std::string::npos) << closed->raw;
    EXPECT_EQ(second->call->getPjsipCallId(), 1);

    first->call->hangup();
    EXPECT_TRUE(bob.waitForEvent("CALL_CLOSED"));
}

TEST_F(SipCallTest, AnIncomingCallForNoAccountIsRefusedNotFound)
{
    BaresipFixture bob(farEnd("bob", *kamailio_, true));
    const auto account = registeredAccount("alice");
    bob.dial("sip:nobody@127.0.0.1:" + std::to_string(localUdpPort()));
    const auto closed = bob.waitForEvent("CALL_CLOSED");
    ASSERT_TRUE(closed) << bob.log();
    EXPECT_NE(closed->raw.find("404"), std::string::npos) << closed->raw;
    EXPECT_FALSE(events_.take("incoming", nullptr, 0ms));
}

TEST_F(SipCallTest, AnIncomingCallThatNobodyTakesOverIsEnded)
{
    BaresipFixture bob(farEnd("bob", *kamailio_, true));
    const auto account = registeredAccount("alice");
    events_.setIncomingHandler([](const std::shared_ptr<SipCall>&) { throw std::runtime_error("no such account"); });
    bob.dial("sip:alice@127.0.0.1");
    const auto incoming = events_.take("incoming");
    ASSERT_TRUE(incoming);
    EXPECT_TRUE(bob.waitForEvent("CALL_CLOSED")) << bob.log();
    EXPECT_TRUE(account->getCalls().empty());
}

TEST_F(SipCallTest, HoldResumeDtmfAndMutesReachThePeer)
{
    BaresipFixture bob(farEnd("bob", *kamailio_, true));
    const auto account = registeredAccount("alice");
    const auto call = account->createCall("bob");
    EXPECT_THROW(call->muteMicrophone(true), std::runtime_error);  // no media yet
    call->dial();
    ASSERT_TRUE(events_.take("confirmed", call)) << bob.log();
    ASSERT_TRUE(events_.take("media", call, 5s, [](const SipEvent& e) { return e.media.mediaState == 1; }));
    ASSERT_TRUE(bob.waitForEvent("CALL_ESTABLISHED"));
    ASSERT_TRUE(bob.waitForEvent("CALL_REMOTE_SDP"));  // the call's own offer

    EXPECT_THROW(call->setHold(false, false), std::runtime_error);  // not on hold
    call->setHold(true, false);
    const auto held = events_.take("hold", call);
    ASSERT_TRUE(held);
    EXPECT_TRUE(held->flag);
    EXPECT_TRUE(call->isLocalHold());
    // The peer gets the hold re-INVITE's offer.
    const auto offer = bob.waitForEvent("CALL_REMOTE_SDP", 5s);
    ASSERT_TRUE(offer) << bob.log();
    EXPECT_EQ(offer->param, "offer");
    EXPECT_THROW(call->setHold(true, false), std::runtime_error);

    call->setHold(false, false);
    const auto resumed = events_.take("hold", call);
    ASSERT_TRUE(resumed);
    EXPECT_FALSE(resumed->flag);
    ASSERT_TRUE(events_.take("media", call, 5s, [](const SipEvent& e) { return e.media.mediaState == 1; }));
    EXPECT_TRUE(bob.waitForEvent("CALL_REMOTE_SDP", 5s));  // and the resume's

    call->muteMicrophone(true);
    call->muteSpeaker(true);
    call->muteMicrophone(false);
    call->muteSpeaker(false);

    call->dialDtmf("5");
    const auto digit = bob.waitForEvent("CALL_DTMF_START");
    ASSERT_TRUE(digit) << bob.log();
    EXPECT_EQ(digit->param, "5");
    EXPECT_THROW(call->dialDtmf("5\r\n"), std::runtime_error);

    EXPECT_THROW(call->merge(), std::runtime_error);  // no partner
    call->hangup();
    ASSERT_TRUE(events_.take("terminated", call));
}

TEST_F(SipCallTest, EarlyMediaWithSdpThenARefusalEndsWithReasonUnknown)
{
    SippFixture callee("uas_early_media_decline.xml", "", {"-m", "1"});
    ASSERT_TRUE(registerAt(*kamailio_, "dave", callee));

    const auto account = registeredAccount("alice");
    const auto call = account->createCall("dave");
    call->dial();
    ASSERT_TRUE(events_.take("early", call)) << callee.output() << callee.messages() << kamailio_->log();
    const auto early = events_.take("media", call, 5s, [](const SipEvent& e) { return e.media.sipStatus == 183; });
    ASSERT_TRUE(early);
    EXPECT_TRUE(early->media.sdpOffer);
    const auto terminated = events_.take("terminated", call);
    ASSERT_TRUE(terminated);
    EXPECT_EQ(terminated->status, ISipCallCallback::kReasonUnknown);
    EXPECT_TRUE(events_.take("media", call, 5s, [](const SipEvent& e) { return e.media.sipStatus == 603; }));
    EXPECT_EQ(callee.wait(10s), 0) << callee.output();
}

TEST_F(SipCallTest, ProvisionalAnswersAreRecordedWithTheStatusThatCame)
{
    const auto account = registeredAccount("alice");
    struct Case {
        const char* scenario;
        const char* callee;  // a user of its own: one registration each
        int status;          // the record of the first answer that moves the call
        bool sdp;
    };
    // A 181 without a body rings like a 180; a 180 with SDP brings early media like a 183.
    for (const Case& c : {Case{"uas_forwarded_early_decline.xml", "dave", 181, false},
                          Case{"uas_ringing_sdp_decline.xml", "carol", 180, true}}) {
        SippFixture callee(c.scenario, "", {"-m", "1"});
        ASSERT_TRUE(registerAt(*kamailio_, c.callee, callee));
        const auto call = account->createCall(c.callee);
        call->dial();
        const auto moved = events_.take("media", call, 5s, [](const SipEvent& e) {
            return e.media.sipStatus > 100 && e.media.sipStatus < 200;
        });
        ASSERT_TRUE(moved) << c.scenario << callee.output() << callee.messages();
        EXPECT_EQ(moved->media.sipStatus, c.status) << c.scenario;
        EXPECT_EQ(moved->media.sdpOffer, c.sdp) << c.scenario;
        if (c.status == 181) {
            const auto early = events_.take("media", call, 5s, [](const SipEvent& e) { return e.media.sipStatus == 183; });
            ASSERT_TRUE(early);
            EXPECT_TRUE(early->media.sdpOffer);
        }
        EXPECT_TRUE(events_.take("terminated", call)) << c.scenario << callee.messages() << kamailio_->log();
        EXPECT_EQ(callee.wait(10s), 0) << callee.output();
    }
}

TEST_F(SipCallTest, AG722CallReportsTheCodecsSamplingRate)
{
    SippFixture callee("uas_answer_g722.xml", "", {"-m", "1"});
    ASSERT_TRUE(registerAt(*kamailio_, "dave", callee));
    const auto account = registeredAccount("alice");
    const auto call = account->createCall("dave");
    call->dial();
    ASSERT_TRUE(events_.take("confirmed", call)) << callee.output() << callee.messages();
    const auto active = events_.take("media", call, 5s, [](const SipEvent& e) { return e.media.mediaState == 1; });
    ASSERT_TRUE(active);
    EXPECT_EQ(active->media.codecName, "G722");
    EXPECT_EQ(active->media.codecClockRate, 16000u);
    call->hangup();
    EXPECT_TRUE(events_.take("terminated", call));
    EXPECT_EQ(callee.wait(10s), 0) << callee.output() << callee.messages();
}

TEST_F(SipCallTest, ARedirectEndsTheCallWithItsCodeAndIsNotFollowed)
{
    // Where the redirect points: any INVITE that reaches it is a followed redirect.
    SippFixture elsewhere("uas_refuse_not_found.xml", "", {"-m", "1"});
    SippFixture callee("uas_redirect.xml", "",
                       {"-m", "1", "-key", "redirect_user", "carol", "-key", "redirect_port",
                        std::to_string(elsewhere.port())});
    ASSERT_TRUE(registerAt(*kamailio_, "dave", callee));

    const auto account = registeredAccount("alice");
    const auto call = account->createCall("dave");
    call->dial();
    const auto terminated = events_.take("terminated", call);
    ASSERT_TRUE(terminated) << callee.output() << callee.messages() << kamailio_->log();
    EXPECT_EQ(terminated->status, ISipCallCallback::kReasonUnknown);
    EXPECT_TRUE(events_.take("media", call, 5s, [](const SipEvent& e) { return e.media.sipStatus == 302; }));
    EXPECT_EQ(callee.wait(10s), 0) << callee.output() << callee.messages();
    // Long enough for a followed redirect's INVITE to have arrived.
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(elsewhere.messages().find("INVITE"), std::string::npos) << elsewhere.messages();
    EXPECT_NE(kamailio_->log().find("authorized INVITE from alice to dave"), std::string::npos) << kamailio_->log();
    EXPECT_EQ(kamailio_->log().find("INVITE from alice to carol"), std::string::npos) << kamailio_->log();
}

TEST_F(SipCallTest, AnIncomingCallIsEarlyOnceItRingsAndNamesItsRoute)
{
    const auto account = registeredAccount("alice");
    SippFixture caller("uac_ring_then_answer.xml", "127.0.0.1:" + std::to_string(localUdpPort()),
                       {"-s", "alice", "-m", "1", "-key", "route", "Support Line", "-key", "alert1",
                        "<http://x>;info=alert-internal", "-key", "alert2", "<http://x>;info=alert-group"});
    const auto incoming = events_.take("incoming");
    ASSERT_TRUE(incoming) << caller.output();
    const auto call = incoming->call;
    ASSERT_TRUE(events_.take("early", call)) << caller.output() << caller.messages();
    EXPECT_EQ(call->getRouteName(), "Support Line");
    EXPECT_EQ(call->getLastState(), SipCall::kEarly);
    EXPECT_TRUE(call->isPending());
    const auto ringing = events_.take("media", call, 5s, [](const SipEvent& e) { return e.media.sipStatus == 180; });
    ASSERT_TRUE(ringing);
    EXPECT_FALSE(ringing->media.sdpOffer);
    // No Alert-Info asked for it: the call rings until it is answered.
    EXPECT_FALSE(events_.take("confirmed", call, 500ms));

    call->answerAudio();
    ASSERT_TRUE(events_.take("confirmed", call));
    EXPECT_EQ(caller.wait(15s), 0) << caller.output() << caller.messages();
    EXPECT_TRUE(events_.take("terminated", call));
    EXPECT_EQ(events_.count("early"), 1);  // a single early event
}

TEST_F(SipCallTest, OnlyAnAlertInfoParameterAnswersAutomatically)
{
    const auto account = registeredAccount("alice");
    const std::string target = "127.0.0.1:" + std::to_string(localUdpPort());
    {
        SippFixture caller("uac_autoanswer.xml", target, {"-s", "alice", "-m", "1"});
        const auto incoming = events_.take("incoming");
        ASSERT_TRUE(incoming) << caller.output();
        EXPECT_NE(incoming->text.find("Alert-Info: <http://x>;info=alert-autoanswer"), std::string::npos)
            << incoming->text;
        EXPECT_TRUE(events_.take("confirmed", incoming->call));
        EXPECT_EQ(caller.wait(15s), 0) << caller.output() << caller.messages();
        EXPECT_TRUE(events_.take("terminated", incoming->call));
    }
    {
        // Every Alert-Info header counts, not only the first.
        SippFixture caller("uac_ring_then_answer.xml", target,
                           {"-s", "alice", "-m", "1", "-key", "route", "Sales", "-key", "alert1",
                            "<http://x>;info=alert-internal", "-key", "alert2", "<http://x>;info=alert-autoanswer"});
        const auto incoming = events_.take("incoming");
        ASSERT_TRUE(incoming) << caller.output();
        EXPECT_TRUE(events_.take("confirmed", incoming->call)) << caller.output() << caller.messages();
        EXPECT_EQ(caller.wait(15s), 0) << caller.output() << caller.messages();
        EXPECT_TRUE(events_.take("terminated", incoming->call));
    }
    {
        // The same words in the caller's name ring only.
        SippFixture caller("uac_autoanswer_lookalike.xml", target, {"-s", "alice", "-m", "1"});
        const auto incoming = events_.take("incoming");
        ASSERT_TRUE(incoming) << caller.output();
        EXPECT_EQ(caller.wait(15s), 0) << caller.output() << caller.messages();
        EXPECT_TRUE(events_.take("terminated", incoming->call));
        EXPECT_FALSE(events_.take("confirmed", incoming->call, 0ms));
    }
}

TEST_F(SipCallTest, ForwardSendsThePeerToTheTarget)
{
    BaresipFixture bob(farEnd("bob", *kamailio_, true));
    BaresipFixture carol(farEnd("carol", *kamailio_, true));
    // Over TCP: the target names the number at the account's realm, not the
    // account's own transport (the far end reaches it its own way).
    const auto account = registeredAccount("alice", "tcp");
    const auto call = account->createCall("bob");
    call->dial();
    ASSERT_TRUE(events_.take("confirmed", call)) << bob.log();
    EXPECT_THROW(call->forward("carol\r\nX-Evil: 1"), std::runtime_error);

    call->forward("carol");
    const auto transfer = bob.waitForEvent("TRANSFER");
    ASSERT_TRUE(transfer) << bob.log();
    EXPECT_NE(transfer->raw.find("sip:carol@127.0.0.1"), std::string::npos) << transfer->raw;
    EXPECT_EQ(transfer->raw.find("transport"), std::string::npos) << transfer->raw;
    // The far end follows the REFER: the target takes its call (auto-answered).
    const auto established = carol.waitForEvent("CALL_ESTABLISHED");
    ASSERT_TRUE(established) << carol.log();
    EXPECT_NE(established->peerUri.find("bob"), std::string::npos) << established->raw;
    EXPECT_TRUE(events_.take("terminated", call));
}

// The account's realm names the target's host. The library takes hosts in
// an address that its SIP layer does not read in a header ("127.1", the
// short form of 127.0.0.1, or a host whose last label is a single
// character), and the REFER's header is read from the address's text: a
// target at such a host is refused.
TEST_F(SipCallTest, AForwardToATargetTheSipLayerCannotReadIsRefused)
{
    AccountData data;
    data.username = "alice";
    // The registrar's answers name the same host, which the stack can't
    // read either: the call stays unanswered.
    data.realm = "127.1";
    data.password = kUsersFor("alice");
    data.transport = "udp";
    const auto account = SipAccount::create(&events_, &events_, data);
    accounts_.push_back(account);
    const auto call = account->createCall("bob");
    call->dial();
    try {
        call->forward("carol");
        ADD_FAILURE() << "forwarded";
    } catch (const SipError& error) {
        EXPECT_NE(error.reason.find("Invalid transfer target"), std::string::npos) << error.reason;
    }
    call->hangup();
    EXPECT_TRUE(events_.take("terminated", call));
}

TEST_F(SipCallTest, MergeSendsTheFarEndToThisAccountToTakeTheOtherCallOver)
{
    // bob (SIPp) plays the transferee to the end: it places the replacing
    // call to the REFER's target with the Replaces header it names.
    SippFixture bob("uas_transferee.xml", "", {"-s", "bob", "-au", "bob", "-ap", kUsersFor("bob"), "-m", "1"});
    ASSERT_TRUE(registerAt(*kamailio_, "bob", bob));
    BaresipFixture carol(farEnd("carol", *kamailio_, true));
    const auto account = registeredAccount("alice");
    const auto first = account->createCall("bob");
    first->dial();
    ASSERT_TRUE(events_.take("confirmed", first)) << bob.output();
    const auto second = account->createCall("carol");
    second->dial();  // puts the first call on hold
    ASSERT_TRUE(events_.take("confirmed", second)) << carol.log();
    const auto carolsCall = carol.waitForEvent("CALL_ESTABLISHED");
    ASSERT_TRUE(carolsCall) << carol.log();

    first->merge();
    // The REFER names this account, with carol's dialog (Call-ID and both
    // tags) to replace: bob's new call reaches alice and takes that dialog
    // over, carol's call ends, and the transferred call ends with the
    // transfer's success.
    const auto replacing = events_.take("incoming", nullptr, 15s);
    ASSERT_TRUE(replacing) << bob.messages() << bob.output();
    EXPECT_EQ(replacing->account, account);
    EXPECT_NE(replacing->text.find("Replaces: " + carolsCall->id + ";to-tag="), std::string::npos) << replacing->text;
    EXPECT_TRUE(events_.take("confirmed", replacing->call));
    EXPECT_TRUE(events_.take("terminated", second));
    EXPECT_TRUE(carol.waitForEvent("CALL_CLOSED")) << carol.log();
    EXPECT_TRUE(events_.take("terminated", first));
    EXPECT_EQ(bob.wait(20s), 0) << bob.messages() << bob.output();
    EXPECT_NE(bob.messages().find("Refer-To: <sip:alice@127.0.0.1?Replaces=" + carolsCall->id), std::string::npos)
        << bob.messages();
    // bob ends the call that replaced carol's.
    EXPECT_TRUE(events_.take("terminated", replacing->call));
}

TEST_F(SipCallTest, AnInviteForNoAccountIsRefusedAtOnceAndLeavesNoCallBehind)
{
    const std::string target = "127.0.0.1:" + std::to_string(localUdpPort());
    const auto stackCalls = [] {
        return SipStack::getInstance().runOnCore(
            [](const std::shared_ptr<linphone::Core>& core) { return core->getCallsNb(); });
    };
    // No account at all.
    {
        SippFixture caller("uac_not_found.xml", target, {"-s", "nobody", "-m", "1"});
        EXPECT_EQ(caller.wait(15s), 0) << caller.output() << caller.messages();
        EXPECT_EQ(stackCalls(), 0);
    }
    // An account that was deleted (it is still unregistering).
    const auto account = registeredAccount("alice");
    account->shutdown();
    {
        SippFixture caller("uac_not_found.xml", target, {"-s", "alice", "-m", "1"});
        EXPECT_EQ(caller.wait(15s), 0) << caller.output() << caller.messages();
        EXPECT_EQ(stackCalls(), 0);
    }
    EXPECT_FALSE(events_.take("incoming", nullptr, 0ms));
}

TEST_F(SipCallTest, TwoAccountsOfOneUserTakeAnInviteAsOneCall)
{
    BaresipFixture bob(farEnd("bob", *kamailio_, true));
    const auto older = registeredAccount("alice");
    AccountData data;
    data.username = "alice";
    data.realm = "127.0.0.1";
    data.password = kUsersFor("alice");
    const auto newer = SipAccount::create(&events_, &events_, data);
    accounts_.push_back(newer);

    bob.dial("sip:alice@127.0.0.1");
    const auto incoming = events_.take("incoming");
    ASSERT_TRUE(incoming) << bob.log();
    EXPECT_EQ(incoming->account, older);
    // Every account heard of the INVITE on the core thread before this returns.
    SipStack::getInstance().runOnCore([](const std::shared_ptr<linphone::Core>&) {});
    EXPECT_EQ(events_.count("incoming"), 1);
    EXPECT_EQ(older->getCalls().size(), 1u);
    EXPECT_TRUE(newer->getCalls().empty());
    incoming->call->hangup();
    EXPECT_TRUE(bob.waitForEvent("CALL_CLOSED")) << bob.log();
}

TEST_F(SipCallTest, TheCallQualityIsTheLibrarysRatingAndDropsOnALossyPath)
{
    BaresipFixture bob(farEnd("bob", *kamailio_, true));
    const auto account = registeredAccount("alice");
    // Four seconds after the library first rated the call: its rating then
    // rests on several seconds of received audio and RTCP reports.
    const auto ratedCall = [&]() {
        const auto call = account->createCall("bob");
        const SipCallStatistics unrated = call->updateCallStatistics();
        EXPECT_FLOAT_EQ(unrated.averageMos, SipCallStatistics::kNoRatingMos);
        EXPECT_FLOAT_EQ(unrated.txMos, SipCallStatistics::kNoRatingMos);
        EXPECT_FLOAT_EQ(unrated.rxMos, SipCallStatistics::kNoRatingMos);
        call->dial();
        EXPECT_TRUE(events_.take("confirmed", call)) << bob.log();
        SipCallStatistics statistics = call->updateCallStatistics();
        for (int i = 0; i < 60 && statistics.averageMos == SipCallStatistics::kNoRatingMos; ++i) {
            std::this_thread::sleep_for(250ms);
            statistics = call->updateCallStatistics();
        }
        std::this_thread::sleep_for(4s);
        statistics = call->updateCallStatistics();
        call->hangup();
        EXPECT_TRUE(events_.take("terminated", call));
        EXPECT_TRUE(bob.waitForEvent("CALL_CLOSED")) << bob.log();
        return statistics;
    };

    const SipCallStatistics clean = ratedCall();
    SipCallStatistics lossy;
    {
        const PacketLoss loss(30);
        lossy = ratedCall();
    }
    std::printf("quality (average, current): clean %.2f, %.2f; 30%% loss %.2f, %.2f\n", clean.averageMos,
                clean.txMos, lossy.averageMos, lossy.txMos);
    // A clean loopback call rates near 5 (a busy machine's late packets cost
    // a little); a third of the packets lost costs far more than that.
    EXPECT_GE(clean.averageMos, 3.0f);
    EXPECT_LE(clean.averageMos, 5.0f);
    EXPECT_FLOAT_EQ(clean.txMos, clean.rxMos);
    EXPECT_GE(lossy.averageMos, 0.0f);
    EXPECT_LT(lossy.averageMos + 1.0f, clean.averageMos) << PacketLoss::ruleset();
    EXPECT_LT(lossy.txMos + 1.0f, clean.txMos);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel::TestSupport
