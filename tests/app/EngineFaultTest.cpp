// The world around a call fails while the engine is in it: the client's
// connection, the registrar, the far end, the sound server, and a stop
// signal with calls up. The engine must live on, keep answering, and keep
// what it keeps: the call goes on where it can, and ends by itself, reported,
// where it can't.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/EngineSoakFixture.h"
#include "sip/SipMediaTimeout.h"
#include "support/ProcessResources.h"
#include "support/SippFixture.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Proto::Ack;
using TestSupport::BaresipFixture;
using TestSupport::Message;
using TestSupport::ProcessResources;

// Enough packets for a second or two of a call's audio.
constexpr std::int64_t kSomePackets = 50;
// The standard microphone hands over its tone a block at a time, so a call
// sends its audio in bursts that far apart: a span shorter than a block and
// a bit can fall between two of them and count no packet sent.
constexpr auto kAudioSpan = TestSupport::PulseAudioFixture::kSineBlock + 1s;

class EngineFaultTest : public TestSupport::EngineSoakFixture {
protected:
    // The call still carries audio both ways.
    void expectAudioBothWays(int callId, const char* when)
    {
        const auto traffic = calls().traffic(callId, kAudioSpan);
        EXPECT_GT(traffic.sent, kSomePackets) << when;
        EXPECT_GT(traffic.received, kSomePackets) << when;
    }

    // Calls to bob, carol and dave, each confirmed at both ends.
    void threeConfirmedCalls(std::vector<std::unique_ptr<BaresipFixture>>& farEnds, std::vector<int>& callIds)
    {
        for (const char* user : {"bob", "carol", "dave"}) {
            farEnds.push_back(farEnd(user));
            callIds.push_back(calls().confirmedCall(user));
            ASSERT_GE(callIds.back(), 0) << farEnds.back()->log();
            ASSERT_TRUE(farEnds.back()->waitForEvent("CALL_ESTABLISHED")) << farEnds.back()->log();
        }
    }
};

TEST_F(EngineFaultTest, AClientThatDropsItsConnectionMidCallAndReconnectsGetsTheCallsLaterNotifications)
{
    const auto bob = farEnd("bob");
    const int callId = calls().confirmedCall("bob");
    ASSERT_GE(callId, 0) << bob->log();

    ASSERT_TRUE(engine_.reconnect());
    ASSERT_TRUE(calls().alive()) << engine_.engine().log();
    expectAudioBothWays(callId, "after the reconnection");
    // What the call reports from now on reaches the new connection.
    EXPECT_TRUE(calls().hold(callId, true));
    EXPECT_TRUE(calls().hold(callId, false));
    bob->hangup();
    EXPECT_TRUE(calls().terminated(callId)) << engine_.engine().log();

    // The same again with the old connection left open but silent: the
    // connection that spoke last is the one the engine talks to.
    const int next = calls().confirmedCall("bob");
    ASSERT_GE(next, 0) << bob->log();
    TestSupport::CitrixTestClient silent(*engine_.engine().waitForPort());
    ASSERT_TRUE(silent.request(TestSupport::stackQuery()));
    ASSERT_TRUE(calls().alive());  // the fixture's client speaks last
    bob->hangup();
    EXPECT_TRUE(calls().terminated(next)) << engine_.engine().log();
}

TEST_F(EngineFaultTest, ARegistrarKilledAndRestartedDuringACallLeavesTheEngineAnsweringAndTheCallUp)
{
    const auto bob = farEnd("bob");
    const int callId = calls().confirmedCall("bob");
    ASSERT_GE(callId, 0) << bob->log();

    kamailio_->kill();
    ASSERT_TRUE(calls().alive()) << engine_.engine().log();
    expectAudioBothWays(callId, "with the registrar gone");

    kamailio_->restart();
    ASSERT_TRUE(calls().alive()) << engine_.engine().log();
    expectAudioBothWays(callId, "after the registrar's restart");
    // The call's requests go the call's route, through the new registrar.
    EXPECT_TRUE(calls().hold(callId, true)) << kamailio_->log();
    EXPECT_TRUE(calls().hold(callId, false)) << kamailio_->log();
    EXPECT_TRUE(calls().hangUp(callId)) << engine_.engine().log();
    EXPECT_TRUE(bob->waitForEvent("CALL_CLOSED")) << bob->log() << kamailio_->log();
    EXPECT_TRUE(calls().alive());
}

// A far end that vanishes without a BYE leaves the call without media; the
// engine ends it once nothing came for the media time-out, and reports it.
TEST_F(EngineFaultTest, AFarEndKilledMidCallEndsTheCallAfterTheMediaTimeOut)
{
    auto bob = farEnd("bob");
    const int callId = calls().confirmedCall("bob");
    ASSERT_GE(callId, 0) << bob->log();
    expectAudioBothWays(callId, "before the kill");

    bob->kill();
    const auto killed = Clock::now();
    const auto terminated = calls().terminated(callId, kSipMediaTimeout + 20s);
    ASSERT_TRUE(terminated) << engine_.engine().log();
    const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed);
    std::cout << "a call whose far end was killed ended after " << after.count() << " ms" << std::endl;
    EXPECT_GE(after, kSipMediaTimeout - 1s);
    EXPECT_EQ(terminated->terminatedcallnotification().reason(), Proto::CALL_TERMINATION_REASON_UNKNOWN);
    ASSERT_TRUE(calls().alive());

    // The engine calls on.
    bob = farEnd("bob");
    const int next = calls().confirmedCall("bob");
    ASSERT_GE(next, 0) << bob->log();
    EXPECT_TRUE(calls().hangUp(next));
}

// A call on hold carries no audio one way or both; it must not be taken for
// a dead one, however long it is held.
TEST_F(EngineFaultTest, ACallHeldLongerThanTheMediaTimeOutLivesOn)
{
    const auto bob = farEnd("bob");
    const int callId = calls().confirmedCall("bob");
    ASSERT_GE(callId, 0) << bob->log();

    ASSERT_TRUE(calls().hold(callId, true));
    EXPECT_FALSE(calls().endsWithin(callId, kSipMediaTimeout + 5s)) << "held by us";
    ASSERT_TRUE(calls().hold(callId, false));

    bob->hold();
    EXPECT_TRUE(calls().notification(&Message::has_callmediastatenotification, [callId](const Message& m) {
        return m.callmediastatenotification().callid() == callId && m.callmediastatenotification().mediastate() == 3;
    })) << "the far end's hold reached the call";
    EXPECT_FALSE(calls().endsWithin(callId, kSipMediaTimeout + 5s)) << "held by the far end";
    bob->resume();

    expectAudioBothWays(callId, "after both holds");
    EXPECT_TRUE(calls().hangUp(callId));
}

TEST_F(EngineFaultTest, ASoundServerKilledDuringACallAndRestartedLeavesTheCallAndTheNextOnesWorking)
{
    Message devices;
    devices.mutable_audiodevicemanagercreateaction();
    ASSERT_EQ(calls().ack(devices).statuscode(), Ack::SUCCESS);
    const auto bob = farEnd("bob");
    const int callId = calls().confirmedCall("bob");
    ASSERT_GE(callId, 0) << bob->log();

    pulse_.kill();
    ASSERT_TRUE(calls().alive()) << engine_.engine().log();
    EXPECT_GT(calls().traffic(callId, 2s).sent, kSomePackets) << "the call sends silence meanwhile";
    pulse_.restart();
    ASSERT_TRUE(calls().alive()) << engine_.engine().log();
    EXPECT_TRUE(calls().hold(callId, true));
    EXPECT_TRUE(calls().hold(callId, false));
    expectAudioBothWays(callId, "after the sound server's restart");
    EXPECT_TRUE(calls().hangUp(callId));

    for (int i = 0; i < 3; ++i) {
        const int next = calls().confirmedCall("bob");
        ASSERT_GE(next, 0) << bob->log();
        expectAudioBothWays(next, "a call after the restart");
        EXPECT_TRUE(calls().hangUp(next));
    }
}

// The stop signal with three calls in the conference: a clean exit, and a
// BYE at every far end.
TEST_F(EngineFaultTest, SigtermWithThreeCallsInTheConferenceEndsThemAllAndExitsCleanly)
{
    std::vector<std::unique_ptr<BaresipFixture>> farEnds;
    std::vector<int> callIds;
    ASSERT_NO_FATAL_FAILURE(threeConfirmedCalls(farEnds, callIds));
    Message start;
    start.mutable_startconferenceaction()->add_accountids(calls().accountId());
    ASSERT_EQ(calls().ack(start).statuscode(), Ack::SUCCESS);
    for (std::size_t i = 0; i + 1 < callIds.size(); ++i) {
        EXPECT_TRUE(calls().holdReported(callIds[i], false)) << "the conference takes call " << callIds[i] << " off hold";
    }
    expectAudioBothWays(callIds.front(), "in the conference");

    EXPECT_EQ(engine_.terminate(), 0) << engine_.engine().console() << engine_.engine().log();
    for (const auto& farEnd : farEnds) {
        EXPECT_TRUE(farEnd->waitForEvent("CALL_CLOSED")) << farEnd->log();
    }
}

// A softphone may send a leave, a join and the conference's stop back to
// back, and a far end may take its time over re-INVITEs: the stop then comes
// while the library re-invites bob's call, and it refuses to hold a call
// meanwhile. Both calls end up held all the same, and reported.
TEST_F(EngineFaultTest, AConferenceStoppedRightAfterALeaveAndAJoinHoldsBothCallsWhenAFarEndIsSlow)
{
    // See the scenario for the behaviours.
    TestSupport::SippFixture bob("uas_slow_reinvite.xml", "",
                                 {"-s", "bob", "-m", "1", "-d", "2000", "-default_behaviors", "all,-abortunexp"});
    std::string failure;
    ASSERT_TRUE(bob.registerAt(kamailio_->hostPort(), "bob", "bobpw", &failure)) << failure;
    const auto carol = farEnd("carol");
    const int a = calls().confirmedCall("bob");
    ASSERT_GE(a, 0) << bob.messages();
    const int b = calls().confirmedCall("carol");
    ASSERT_GE(b, 0) << carol->log();
    ASSERT_TRUE(calls().holdReported(a, true)) << "dialling the second call holds the first";

    Message start;
    start.mutable_startconferenceaction()->add_accountids(calls().accountId());
    ASSERT_EQ(calls().ack(start).statuscode(), Ack::SUCCESS);
    ASSERT_TRUE(calls().holdReported(a, false)) << "the conference takes its calls off hold";
    Message leave;
    leave.mutable_leaveconferenceaction()->set_callid(b);
    Message join;
    join.mutable_joinconferenceaction()->set_callid(b);
    Message stop;
    stop.mutable_stopconferenceaction();
    for (const Message* step : {&leave, &join, &stop}) {
        EXPECT_EQ(calls().ack(*step).statuscode(), Ack::SUCCESS) << step->ShortDebugString();
    }
    EXPECT_TRUE(calls().holdReported(a, true)) << engine_.engine().log() << bob.messages();
    EXPECT_TRUE(calls().holdReported(b, true)) << engine_.engine().log();

    EXPECT_TRUE(calls().hangUp(a));
    EXPECT_TRUE(calls().hangUp(b));
    EXPECT_TRUE(carol->waitForEvent("CALL_CLOSED")) << carol->log();
}

// The library releases an ended conference a moment later, by a task of its
// own. A stop that comes first must still release it: its mixers' threads
// would otherwise run on in the stopped engine (and into its exit).
TEST_F(EngineFaultTest, AStackStoppedWithItsConferenceRunningLeavesNoMediaThreadBehind)
{
    using Proto::SipStackStatusAnswer;
    const pid_t pid = engine_.engine().process().pid();
    ASSERT_EQ(engine_.request(TestSupport::stackStop(), 30s).sipstackstatusanswer().status(),
              SipStackStatusAnswer::STOPPED);
    const auto stopped = ProcessResources::of(pid);
    ASSERT_TRUE(stopped);

    const int accountId = engine_.startWithAccount("alice", "alicepw");
    ASSERT_GE(accountId, 0) << engine_.engine().log();
    calls_.emplace(engine_, accountId);
    std::vector<std::unique_ptr<BaresipFixture>> farEnds;
    std::vector<int> callIds;
    ASSERT_NO_FATAL_FAILURE(threeConfirmedCalls(farEnds, callIds));
    Message start;
    start.mutable_startconferenceaction()->add_accountids(accountId);
    ASSERT_EQ(calls().ack(start).statuscode(), Ack::SUCCESS);
    // The conference runs, its mixers with it.
    for (std::size_t i = 0; i + 1 < callIds.size(); ++i) {
        ASSERT_TRUE(calls().holdReported(callIds[i], false)) << "call " << callIds[i];
    }
    expectAudioBothWays(callIds.front(), "in the conference");
    ASSERT_EQ(engine_.request(TestSupport::stackStop(), 30s).sipstackstatusanswer().status(),
              SipStackStatusAnswer::STOPPED);

    // Threads end a moment after the answer; a leaked one never does.
    const auto deadline = Clock::now() + 5s;
    auto now = ProcessResources::of(pid);
    while (now && now->threads > stopped->threads && Clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
        now = ProcessResources::of(pid);
    }
    ASSERT_TRUE(now);
    EXPECT_EQ(now->threads, stopped->threads) << engine_.engine().log();
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
