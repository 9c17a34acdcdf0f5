#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/EngineCalls.h"
#include "app/EngineTestSupport.h"
#include "support/BaresipFixture.h"
#include "support/KamailioFixture.h"
#include "support/PulseAudioFixture.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;
using Proto::Ack;
using TestSupport::BaresipFixture;
using TestSupport::KamailioFixture;
using TestSupport::Message;
using TestSupport::PulseAudioFixture;
using TestSupport::RunningEngine;

// Five seconds after its end a call is due for deletion; the sweep runs every second.
constexpr auto kCallDeletion = 6500ms;
// What a user leaves between two conference steps: time for the library's
// re-INVITEs into the conference and out of it.
constexpr auto kConferenceStep = 1500ms;

// The engine over its channel against kamailio, baresip far ends (bob and
// carol, answering at once) and a PulseAudio server, with the SIP log on and
// alice registered: the sequences that once ended the process.
class EngineSurvivalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(engine_.ready()) << engine_.engine().console();
        ASSERT_TRUE(engine_.request(TestSupport::appStart(2)).has_appstartanswer());
        Message start = TestSupport::stackStart();
        start.mutable_sipstackstartaction()->set_siplogenabled(true);
        const Message started = engine_.request(start, 30s);
        ASSERT_EQ(started.sipstackstatusanswer().status(), Proto::SipStackStatusAnswer::RUNNING)
            << started.ShortDebugString();
        const Message created = engine_.request(TestSupport::createAccount("alice", "alicepw"));
        ASSERT_EQ(created.createaccountanswer().objectidresponse().ack().statuscode(), Ack::SUCCESS);
        accountId_ = created.createaccountanswer().objectidresponse().objectid();
        calls_.emplace(engine_, accountId_);
        ASSERT_TRUE(calls_->notification(&Message::has_accountregstatechangednotification)) << kamailio_.log();
    }

    void TearDown() override { EXPECT_EQ(engine_.terminate(), 0) << engine_.engine().console(); }

    std::unique_ptr<BaresipFixture> farEnd(const std::string& user)
    {
        BaresipFixture::Options options;
        options.user = user;
        options.registrar = &kamailio_;
        options.password = user + "pw";
        options.autoAnswer = true;
        return std::make_unique<BaresipFixture>(options);
    }

    int confirmedCall(const std::string& user)
    {
        const int callId = calls_->confirmedCall(user);
        EXPECT_GE(callId, 0) << engine_.engine().console();
        return callId;
    }

    void hangUp(int callId) { EXPECT_TRUE(calls_->hangUp(callId)) << engine_.engine().console(); }
    bool holdReported(int callId, bool isHold) { return calls_->holdReported(callId, isHold); }
    bool alive() { return calls_->alive(); }

    Ack::StatusCode conferenceStep(int callId, bool join)
    {
        Message step;
        if (join) {
            step.mutable_joinconferenceaction()->set_callid(callId);
        } else {
            step.mutable_leaveconferenceaction()->set_callid(callId);
        }
        return engine_.ack(step).statuscode();
    }

    PulseAudioFixture pulse_;
    KamailioFixture kamailio_{{{"alice", "alicepw"}, {"bob", "bobpw"}, {"carol", "carolpw"}}, "127.0.0.1", 5060};
    RunningEngine engine_;
    int accountId_ = -1;
    std::optional<TestSupport::EngineCalls> calls_;
};

// The library logs on its media and sound threads as well as on the core
// thread; with the SIP log on, a call that is confirmed or taken off hold
// while another is being held has several of them logging at once.
TEST_F(EngineSurvivalTest, WithTheSipLogOnCallsHoldEachOtherAndTheEngineLivesOn)
{
    const auto bob = farEnd("bob");
    const auto carol = farEnd("carol");
    const int first = confirmedCall("bob");
    // The second call takes the call index of one deleted shortly before.
    hangUp(confirmedCall("carol"));
    std::this_thread::sleep_for(kCallDeletion);
    const int second = confirmedCall("carol");
    EXPECT_TRUE(holdReported(first, true)) << "dialling the second call holds the first";
    // Taking one off hold holds the other.
    for (int round = 0; round < 16; ++round) {
        const int resumed = round % 2 == 0 ? first : second;
        const int heldNow = round % 2 == 0 ? second : first;
        Message resume;
        resume.mutable_callholdaction()->set_accountid(accountId_);
        resume.mutable_callholdaction()->set_callid(resumed);
        resume.mutable_callholdaction()->set_hold(false);
        resume.mutable_callholdaction()->set_autoholdothers(true);
        EXPECT_EQ(engine_.ack(resume).statuscode(), Ack::SUCCESS);
        EXPECT_TRUE(holdReported(resumed, false));
        EXPECT_TRUE(holdReported(heldNow, true));
        ASSERT_TRUE(alive()) << engine_.engine().console() << engine_.engine().log();
    }
    hangUp(second);
    hangUp(first);
    ASSERT_TRUE(alive()) << engine_.engine().console() << engine_.engine().log();
}

// Two calls with one far end (the softphone dialled bob twice) taken into
// the conference and out again, one of them held and resumed, then ended.
// The library tells conference calls apart only by the far end's address:
// it once mixed the two up, and the second leave read a conference it had
// deleted.
TEST_F(EngineSurvivalTest, TwoCallsWithOneFarEndGoIntoTheConferenceAndOutAndTheEngineLivesOn)
{
    const auto bob = farEnd("bob");
    Message start;
    start.mutable_startconferenceaction()->add_accountids(accountId_);
    ASSERT_EQ(engine_.ack(start).statuscode(), Ack::SUCCESS);
    const int first = confirmedCall("bob");
    const int second = confirmedCall("bob");
    for (const int callId : {first, second}) {
        EXPECT_EQ(conferenceStep(callId, true), Ack::SUCCESS);
    }
    std::this_thread::sleep_for(kConferenceStep);
    for (const int callId : {first, second}) {
        EXPECT_EQ(conferenceStep(callId, false), Ack::SUCCESS);
        std::this_thread::sleep_for(kConferenceStep);
        ASSERT_TRUE(alive()) << engine_.engine().console() << engine_.engine().log();
    }
    EXPECT_TRUE(calls_->hold(first, true));
    EXPECT_TRUE(calls_->hold(first, false));
    hangUp(second);
    hangUp(first);
    ASSERT_TRUE(alive()) << engine_.engine().console() << engine_.engine().log();
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
