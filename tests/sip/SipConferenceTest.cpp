// The local conference against real far ends: two baresip instances
// registered at kamailio, called by the engine's account; each must hear the
// other's voice once both calls are in the conference.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <linphone++/linphone.hh>

#include "sip/SipAccount.h"
#include "sip/SipCall.h"
#include "sip/SipCallTestSupport.h"
#include "sip/SipStack.h"
#include "support/BaresipFixture.h"
#include "support/CapturingAppender.h"
#include "support/SippFixture.h"
#include "support/ToneDetector.h"
#include "support/WavFile.h"

namespace Tarvent::VirtualChannel::TestSupport {
namespace {

using namespace std::chrono_literals;

constexpr double kBobTone = 697.0;
constexpr double kCarolTone = 1477.0;

class SipConferenceTest : public SipCallTest {
protected:
    void SetUp() override
    {
        SipCallTest::SetUp();
        // The local user hears and speaks through files: the far ends'
        // voices are what the test listens for, and the sound server's
        // client library is not safe against the streams the conference
        // opens and closes beside the calls' own.
        stack.runOnCore([](const std::shared_ptr<linphone::Core>& core) { core->setUseFiles(true); });
    }

    // The stack goes down first, so that no account leaves while its calls
    // are conference members.
    void TearDown() override
    {
        stack.stop();
        SipCallTest::TearDown();
    }

    std::unique_ptr<BaresipFixture> farEnd(const std::string& user, double toneHz)
    {
        BaresipFixture::Options options;
        options.user = user;
        options.registrar = kamailio_.get();
        options.password = kUsers.at(user);
        options.toneHz = toneHz;
        return std::make_unique<BaresipFixture>(options);
    }

    // Dials `user` from `account` and waits until the call is confirmed with its audio running.
    std::shared_ptr<SipCall> confirmedCall(const std::shared_ptr<SipAccount>& account, const std::string& user)
    {
        const std::shared_ptr<SipCall> call = account->createCall(user.c_str());
        call->dial();
        EXPECT_TRUE(events_.take("confirmed", call)) << kamailio_->log();
        EXPECT_TRUE(waitFor([&] { return call->isMediaActive(); }));
        return call;
    }

    static bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    // Blocks (50 ms each) of the far end's received audio that carry `toneHz`
    // (the local user's microphone is in the mix too).
    static int blocksHeard(const BaresipFixture& peer, double toneHz)
    {
        const std::vector<std::string> recordings = peer.receivedRecordings();
        int total = 0;
        for (const std::string& recording : recordings) {
            const WavFile heard = WavFile::read(recording);
            total += ToneDetector(heard.sampleRate).blocksWithTone(heard.samples, toneHz, 0.3);
        }
        return total;
    }

    static bool inLibraryConference(const std::shared_ptr<SipCall>& call)
    {
        return SipStack::getInstance().runOnCore([&](const std::shared_ptr<linphone::Core>& /*core*/) {
            const auto stackCall = call->getLinphoneCall();
            return stackCall && stackCall->getConference() != nullptr;
        });
    }

    // The engine's conference and hold lines, for failure messages.
    std::string conferenceLog()
    {
        std::string text;
        for (const std::string& line : capture.messages()) {
            if (line.find("onference") != std::string::npos || line.find("xception") != std::string::npos ||
                line.find("hold") != std::string::npos || line.find("Failed") != std::string::npos) {
                text += line + "\n";
            }
        }
        return text;
    }

    SipStack& stack = SipStack::getInstance();
    LogCapture capture;
};

TEST_F(SipConferenceTest, EachFarEndHearsTheOther)
{
    const auto bob = farEnd("bob", kBobTone);
    const auto carol = farEnd("carol", kCarolTone);
    // Two conference accounts with one call each.
    const std::shared_ptr<SipAccount> alice = registeredAccount("alice");
    const std::shared_ptr<SipAccount> dave = registeredAccount("dave");

    stack.startConference({alice, dave});
    ASSERT_TRUE(stack.isConferenceRunning());
    const std::shared_ptr<SipCall> toBob = confirmedCall(alice, "bob");
    const std::shared_ptr<SipCall> toCarol = confirmedCall(dave, "carol");
    ASSERT_FALSE(toBob->isLocalHold()) << "no call is held for another while the conference runs";

    const std::vector<std::shared_ptr<SipCall>> members = stack.getConferenceCalls();
    ASSERT_EQ(members.size(), 2u);
    for (const auto& call : members) {
        stack.joinConference(call);
    }
    ASSERT_TRUE(waitFor([&] { return inLibraryConference(toBob) && inLibraryConference(toCarol); }))
        << conferenceLog();
    EXPECT_TRUE(capture.contains("Connecting conference calls: pjsipCallId1="));

    // The members are re-invited into the conference; then let them talk.
    ASSERT_TRUE(waitFor([&] { return toBob->isMediaActive() && toCarol->isMediaActive(); }));
    std::this_thread::sleep_for(3s);

    stack.stopConference();
    EXPECT_FALSE(stack.isConferenceRunning());
    EXPECT_TRUE(stack.getConferenceCalls().empty());
    EXPECT_TRUE(waitFor([&] { return toBob->isLocalHold() && toCarol->isLocalHold(); }))
        << "stopping a conference of two calls holds both" << conferenceLog();
    EXPECT_FALSE(inLibraryConference(toBob));
    EXPECT_FALSE(inLibraryConference(toCarol));

    toBob->hangup();
    toCarol->hangup();
    ASSERT_TRUE(bob->waitForEvent("CALL_CLOSED"));
    ASSERT_TRUE(carol->waitForEvent("CALL_CLOSED"));

    EXPECT_GT(blocksHeard(*bob, kCarolTone), 20) << "bob hears carol";
    EXPECT_GT(blocksHeard(*carol, kBobTone), 20) << "carol hears bob";
}

TEST_F(SipConferenceTest, ConfirmedCallsJoinByThemselvesAndAHeldMemberLeaves)
{
    const auto bob = farEnd("bob", kBobTone);
    const auto carol = farEnd("carol", kCarolTone);
    const std::shared_ptr<SipAccount> alice = registeredAccount("alice");

    // Nobody asks the conference to take the calls: their own events do.
    stack.startConference({alice});
    const std::shared_ptr<SipCall> toBob = confirmedCall(alice, "bob");
    const std::shared_ptr<SipCall> toCarol = confirmedCall(alice, "carol");
    ASSERT_TRUE(waitFor([&] { return inLibraryConference(toBob) && inLibraryConference(toCarol); }))
        << conferenceLog();
    EXPECT_FALSE(toBob->isLocalHold()) << "the second call held the first";
    ASSERT_TRUE(waitFor([&] { return toBob->isMediaActive() && toCarol->isMediaActive(); })) << conferenceLog();

    // A member is held: it leaves the conference first (the library refuses
    // to hold a member), and the peer sees the hold.
    toCarol->setHold(true, false);
    EXPECT_FALSE(inLibraryConference(toCarol));
    EXPECT_TRUE(waitFor([&] { return toCarol->isLocalHold(); })) << conferenceLog();
    EXPECT_TRUE(capture.contains("Leaving conference: pjsipCallId=")) << conferenceLog();
    EXPECT_TRUE(stack.isConferenceRunning());
    // Left alone with the local user, the other call goes on as a plain call.
    EXPECT_TRUE(waitFor([&] { return toBob->isMediaActive() && !toBob->isLocalHold(); })) << conferenceLog();

    // Resumed while the conference runs, it joins again, and the other
    // call is not held for it.
    toCarol->setHold(false, false);
    EXPECT_TRUE(waitFor([&] { return inLibraryConference(toCarol) && inLibraryConference(toBob); }))
        << conferenceLog();
    EXPECT_TRUE(waitFor([&] { return !toCarol->isLocalHold() && toCarol->isMediaActive(); })) << conferenceLog();
    EXPECT_FALSE(toBob->isLocalHold()) << conferenceLog();
    EXPECT_TRUE(capture.contains("Unhold call into the conference: pjsipCallId=")) << conferenceLog();

    // A member that hangs up leaves by itself.
    toBob->hangup();
    ASSERT_TRUE(events_.take("terminated", toBob));
    ASSERT_TRUE(bob->waitForEvent("CALL_CLOSED"));
    EXPECT_FALSE(inLibraryConference(toBob));

    stack.stop();
    EXPECT_TRUE(carol->waitForEvent("CALL_CLOSED"));
}

TEST_F(SipConferenceTest, AStartWhileRunningKeepsTheAccountsAndTheStackStopEndsIt)
{
    const auto bob = farEnd("bob", kBobTone);
    const std::shared_ptr<SipAccount> alice = registeredAccount("alice");
    const std::shared_ptr<SipAccount> dave = registeredAccount("dave");
    const std::shared_ptr<SipCall> toBob = confirmedCall(alice, "bob");

    EXPECT_TRUE(stack.getConferenceCalls().empty()) << "no conference, no conference calls";
    stack.startConference({dave});
    stack.startConference({alice});
    EXPECT_TRUE(stack.getConferenceCalls().empty()) << "the second start changed nothing";

    // A lone call has nobody to be connected with; stopping holds nothing.
    stack.joinConference(toBob);
    EXPECT_FALSE(inLibraryConference(toBob));
    stack.stopConference();
    EXPECT_FALSE(toBob->isLocalHold());
    EXPECT_FALSE(stack.isConferenceRunning());

    stack.startConference({alice});
    ASSERT_EQ(stack.getConferenceCalls().size(), 1u);
    toBob->hangup();
    ASSERT_TRUE(bob->waitForEvent("CALL_CLOSED"));

    // The stack's teardown ends the conference: after a restart incoming
    // calls are not refused as busy.
    stack.stop();
    EXPECT_FALSE(stack.isConferenceRunning());
    EXPECT_TRUE(capture.contains("Stopping conference"));
}

TEST_F(SipConferenceTest, HeldCallsJoinAStartingConferenceAndTheStackStopEndsIt)
{
    const auto bob = farEnd("bob", kBobTone);
    const auto carol = farEnd("carol", kCarolTone);
    const std::shared_ptr<SipAccount> account = registeredAccount("alice");
    const std::shared_ptr<SipCall> toBob = confirmedCall(account, "bob");
    const std::shared_ptr<SipCall> toCarol = confirmedCall(account, "carol");
    ASSERT_TRUE(waitFor([&] { return toBob->isLocalHold(); })) << "the second call held the first";

    stack.startConference({account});
    ASSERT_TRUE(waitFor([&] { return inLibraryConference(toBob) && inLibraryConference(toCarol); }))
        << conferenceLog();
    EXPECT_TRUE(waitFor([&] { return !toBob->isLocalHold() && toBob->isMediaActive(); })) << conferenceLog();
    // Both re-invitations into the conference are through.
    ASSERT_TRUE(waitFor([&] { return toCarol->isMediaActive(); })) << conferenceLog();

    // Taking a member out leaves the other one alone with the local user:
    // the library holds the one it lets go and turns the rest into a plain call.
    stack.leaveConference(toCarol);
    EXPECT_FALSE(inLibraryConference(toCarol));
    EXPECT_TRUE(waitFor([&] { return toCarol->isLocalHold(); })) << conferenceLog();
    EXPECT_TRUE(waitFor([&] { return !inLibraryConference(toBob); })) << conferenceLog();

    stack.stop();
    EXPECT_FALSE(stack.isConferenceRunning());
    EXPECT_TRUE(bob->waitForEvent("CALL_CLOSED"));
    EXPECT_TRUE(carol->waitForEvent("CALL_CLOSED"));
}

TEST_F(SipConferenceTest, IncomingCallsAreBusyWhileItRunsAndNotAfterARestart)
{
    registeredAccount("alice");
    const std::string target = "127.0.0.1:" + std::to_string(localUdpPort());
    stack.startConference({});
    {
        SippFixture caller("uac_busy.xml", target, {"-s", "alice", "-m", "1"});
        EXPECT_EQ(caller.wait(15s), 0) << caller.output() << caller.messages();
    }

    // A stack restarted without stopping the conference first.
    stack.stop();
    stack.start(false, "ovra-test", false, false);
    EXPECT_FALSE(stack.isConferenceRunning());
    registeredAccount("alice");
    {
        // The first INVITE rings; a second one while it is pending is busy.
        SippFixture caller("uac_second_invite_busy.xml", "127.0.0.1:" + std::to_string(localUdpPort()),
                           {"-s", "alice", "-m", "1"});
        EXPECT_EQ(caller.wait(20s), 0) << caller.output() << caller.messages();
    }
}

}  // namespace
}  // namespace Tarvent::VirtualChannel::TestSupport
