#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "sip/SipAccount.h"
#include "sip/SipCall.h"
#include "sip/SipCallTestSupport.h"
#include "sip/SipHangupWatch.h"
#include "sip/SipRegistrarProbe.h"
#include "sip/SipStack.h"
#include "support/CapturingAppender.h"

namespace Tarvent::VirtualChannel::TestSupport {
namespace {

using namespace std::chrono_literals;

// How long after its cause a registration report may come: the probe's
// period and answer time, or the retry of a failed registration, and room
// for a loaded machine.
constexpr std::chrono::milliseconds kProbeReport =
    SipRegistrarProbe::kPeriod + SipRegistrarProbe::kAnswerTimeout + 10s;
constexpr std::chrono::milliseconds kRetry = SipStack::kRegistrationRetry + 10s;

std::function<bool(const SipEvent&)> connectedIs(const std::shared_ptr<SipAccount>& account, bool connected)
{
    return [account, connected](const SipEvent& event) { return event.account == account && event.flag == connected; };
}

// The captured log lines that hold `text`, one a line.
std::string linesWith(LogCapture& log, const std::string& text)
{
    std::string lines;
    for (const std::string& line : log.messages()) {
        if (line.find(text) != std::string::npos) {
            lines += line + "\n";
        }
    }
    return lines;
}

class SipRegistrarTest : public SipCallTest {
protected:
    void expectOutageReported(const std::shared_ptr<SipAccount>& account, const std::string& user,
                              std::chrono::milliseconds reported, int statusCode);
};

TEST_F(SipRegistrarTest, AUdpAccountThatTheRegistrarForgotIsReportedRegistersAgainAndIsCalledAgain)
{
    const auto alice = registeredAccount("alice");
    kamailio_->restart();  // its location table is empty now

    const auto lost = events_.take("reg", nullptr, kProbeReport, connectedIs(alice, false));
    ASSERT_TRUE(lost) << kamailio_->log();
    EXPECT_EQ(lost->statusCode, 404);
    EXPECT_EQ(lost->status, SipAccount::kSipStatusBase + 404);
    const auto back = events_.take("reg", nullptr, 10s, connectedIs(alice, true));
    ASSERT_TRUE(back) << kamailio_->log();
    EXPECT_EQ(back->statusCode, 200);
    EXPECT_TRUE(kamailio_->waitForRegistration("alice", 5s)) << kamailio_->dumpRegistrations();

    BaresipFixture bob(farEndOptions("bob", *kamailio_, true, 697.0));
    bob.dial("sip:alice@127.0.0.1");
    const auto incoming = events_.take("incoming");
    ASSERT_TRUE(incoming) << bob.log() << kamailio_->log();
    EXPECT_EQ(incoming->account, alice);
    incoming->call->hangup();
    EXPECT_TRUE(bob.waitForEvent("CALL_CLOSED")) << bob.log();
}

TEST_F(SipRegistrarTest, AProbeThatOnlyAnotherDeviceOfTheUserAnswersCountsAsLost)
{
    LogCapture log;
    const auto alice = registeredAccount("alice");
    kamailio_->restart();
    // The registrar knows alice again, at the other device only.
    BaresipFixture otherDevice(farEndOptions("alice", *kamailio_, true, 697.0));

    const auto lost = events_.take("reg", nullptr, kProbeReport, connectedIs(alice, false));
    ASSERT_TRUE(lost) << kamailio_->log();
    EXPECT_EQ(lost->statusCode, 404);
    EXPECT_TRUE(log.contains("status=200; reachedUs=0"));
    EXPECT_TRUE(events_.take("reg", nullptr, 10s, connectedIs(alice, true))) << kamailio_->log();
}

// Stops the registrar: `account` of `user` is reported not connected with
// `statusCode` within `reported`, and connected again within kRetry of the
// registrar's return.
void SipRegistrarTest::expectOutageReported(const std::shared_ptr<SipAccount>& account, const std::string& user,
                                            std::chrono::milliseconds reported, int statusCode)
{
    kamailio_->stop();
    const auto away = events_.take("reg", nullptr, reported, connectedIs(account, false));
    ASSERT_TRUE(away);
    EXPECT_EQ(away->statusCode, statusCode);

    kamailio_->restart();
    const auto back = events_.take("reg", nullptr, kRetry, connectedIs(account, true));
    ASSERT_TRUE(back) << kamailio_->log();
    EXPECT_TRUE(kamailio_->waitForRegistration(user, 5s)) << kamailio_->dumpRegistrations();
}

TEST_F(SipRegistrarTest, AUdpAccountWhoseRegistrarIsAwayIsReportedAndRegistersWhenItIsBack)
{
    // The registration sent on the report is still retransmitted when the
    // registrar returns, or failed and is retried.
    expectOutageReported(registeredAccount("alice"), "alice", kProbeReport, 408);
}

TEST_F(SipRegistrarTest, ATcpAccountIsReportedWhenTheConnectionDropsAndRegistersSoonAfterARestart)
{
    expectOutageReported(registeredAccount("bob", "tcp"), "bob", 10s, 503);
}

// A call between alice here and bob at a far end, both through the
// registrar over `transport`, established in the direction asked for.
class SipHangupTest : public SipRegistrarTest {
protected:
    std::shared_ptr<SipCall> establish(BaresipFixture& bob, const std::shared_ptr<SipAccount>& alice, bool outgoing)
    {
        std::shared_ptr<SipCall> call;
        if (outgoing) {
            call = alice->createCall("bob");
            call->dial();
        } else {
            bob.dial("sip:alice@127.0.0.1");
            const auto incoming = events_.take("incoming");
            if (!incoming) {
                return nullptr;
            }
            call = incoming->call;
            call->answerAudio();
        }
        if (!events_.take("confirmed", call, 15s) || !bob.waitForEvent("CALL_ESTABLISHED")) {
            return nullptr;
        }
        return call;
    }

    void expectHangUpWhileAwayReachesBob(const std::string& transport, bool outgoing);

    BaresipFixture::Options farEnd(const std::string& transport) const
    {
        BaresipFixture::Options options = farEndOptions("bob", *kamailio_, true, 697.0);
        options.transport = transport;
        return options;
    }
};

// alice and bob, both over `transport`, in an established call made in
// the direction asked for; the registrar goes away and alice hangs up:
// bob hears of it well before the first BYE's own time-out (32 s over UDP).
void SipHangupTest::expectHangUpWhileAwayReachesBob(const std::string& transport, bool outgoing)
{
    LogCapture log;
    BaresipFixture bob(farEnd(transport));
    const auto alice = registeredAccount("alice", transport);
    const auto call = establish(bob, alice, outgoing);
    ASSERT_TRUE(call) << bob.log() << kamailio_->log();

    kamailio_->stop();
    call->hangup();
    EXPECT_TRUE(events_.take("terminated", call));
    EXPECT_TRUE(bob.waitForEvent("CALL_CLOSED", SipHangupWatch::kAnswerWait + 8s))
        << bob.log() << "\n" << linesWith(log, "Hang-up");
}

TEST_F(SipHangupTest, AHangUpWhileTheRegistrarIsAwayEndsAnOutgoingUdpCallAtTheFarEnd)
{
    expectHangUpWhileAwayReachesBob("udp", true);
}

TEST_F(SipHangupTest, AHangUpWhileTheRegistrarIsAwayEndsAnIncomingTcpCallAtTheFarEnd)
{
    expectHangUpWhileAwayReachesBob("tcp", false);
}

TEST_F(SipHangupTest, AStopWhileTheRegistrarIsAwayEndsTheCallsAtTheFarEnds)
{
    BaresipFixture bob(farEnd("udp"));
    const auto alice = registeredAccount("alice");
    const auto call = establish(bob, alice, true);
    ASSERT_TRUE(call) << bob.log() << kamailio_->log();

    kamailio_->stop();
    SipStack::getInstance().stop();
    EXPECT_TRUE(bob.waitForEvent("CALL_CLOSED", 5s)) << bob.log();
}

TEST_F(SipHangupTest, AHangUpThroughAWorkingRegistrarTakesOnlyTheRoute)
{
    LogCapture log;
    BaresipFixture bob(farEnd("udp"));
    const auto alice = registeredAccount("alice");
    const auto call = establish(bob, alice, true);
    ASSERT_TRUE(call) << bob.log() << kamailio_->log();

    call->hangup();
    ASSERT_TRUE(bob.waitForEvent("CALL_CLOSED")) << bob.log();
    std::this_thread::sleep_for(SipHangupWatch::kAnswerWait + 1s);
    EXPECT_FALSE(log.contains("sent to the far end directly"));
}

}  // namespace
}  // namespace Tarvent::VirtualChannel::TestSupport
