// The local conference against real far ends: two baresip instances
// registered at kamailio, called by the engine's account; each must hear the
// other's voice once both calls are in the conference.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <linphone++/linphone.hh>

#include "sip/SipAccount.h"
#include "sip/SipCall.h"
#include "sip/SipCallTestSupport.h"
#include "sip/SipAudioDeviceManager.h"
#include "sip/SipAudioRecorder.h"
#include "sip/SipAudioTestSupport.h"
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
constexpr double kLocalTone = 1000.0;  // the standard microphone
// -12 dBFS: the conference adds up the voices without clipping.
constexpr double kQuietVoice = 0.25;

class SipConferenceTest : public SipCallTest {
protected:
    void SetUp() override
    {
        SipCallTest::SetUp();
        // The local user hears and speaks through files: the far ends'
        // voices are what the test listens for, and the sound server's
        // client library is not safe against the streams the conference
        // opens and closes beside the calls' own.
        if (useFiles_) {
            stack.runOnCore([](const std::shared_ptr<linphone::Core>& core) { core->setUseFiles(true); });
        }
    }

    // The stack goes down first, so that no account leaves while its calls
    // are conference members.
    void TearDown() override
    {
        stack.stop();
        SipCallTest::TearDown();
    }

    std::unique_ptr<BaresipFixture> farEnd(const std::string& user, double toneHz, double amplitude = 0.5)
    {
        BaresipFixture::Options options;
        options.user = user;
        options.registrar = kamailio_.get();
        options.password = kUsers.at(user);
        options.toneHz = toneHz;
        options.toneAmplitude = amplitude;
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

    // Starts the conference of `account` and calls bob and carol into it;
    // returns once both talk in it.
    void conferenceOfTwo(const std::shared_ptr<SipAccount>& account, std::shared_ptr<SipCall>& toBob,
                         std::shared_ptr<SipCall>& toCarol)
    {
        stack.startConference({account});
        toBob = confirmedCall(account, "bob");
        toCarol = confirmedCall(account, "carol");
        ASSERT_TRUE(waitFor([&] { return inLibraryConference(toBob) && inLibraryConference(toCarol); }))
            << conferenceLog();
        ASSERT_TRUE(waitFor([&] { return toBob->isMediaActive() && toCarol->isMediaActive(); })) << conferenceLog();
    }

    // Hangs up both calls and waits until both far ends closed them (and so
    // finished their recordings).
    static void hangUp(const std::shared_ptr<SipCall>& first, BaresipFixture& firstPeer,
                       const std::shared_ptr<SipCall>& second, BaresipFixture& secondPeer)
    {
        first->hangup();
        second->hangup();
        ASSERT_TRUE(firstPeer.waitForEvent("CALL_CLOSED"));
        ASSERT_TRUE(secondPeer.waitForEvent("CALL_CLOSED"));
    }

    // The usual amplitude of `toneHz` where the far end heard it.
    static double amplitudeHeard(const BaresipFixture& peer, double toneHz)
    {
        std::vector<std::int16_t> samples;
        int sampleRate = 8000;
        for (const std::string& recording : peer.receivedRecordings()) {
            const WavFile heard = WavFile::read(recording);
            const ToneDetector detector(heard.sampleRate);
            const std::size_t window = static_cast<std::size_t>(heard.sampleRate) / 20;
            for (std::size_t offset = 0; offset + window <= heard.samples.size(); offset += window) {
                if (detector.toneRatio(heard.samples, offset, toneHz) >= 0.3) {
                    samples.insert(samples.end(), heard.samples.begin() + static_cast<std::ptrdiff_t>(offset),
                                   heard.samples.begin() + static_cast<std::ptrdiff_t>(offset + window));
                }
            }
            sampleRate = heard.sampleRate;
        }
        return ToneDetector(sampleRate).typicalAmplitude(samples, toneHz);
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

    // A far end registered as `user` that answers every re-INVITE only after
    // kSlowAnswer: the conference's re-INVITEs of its call are under way for
    // that long.
    std::unique_ptr<SippFixture> slowFarEnd(const std::string& user)
    {
        auto peer = std::make_unique<SippFixture>(
            "uas_slow_reinvite.xml", "",
            std::vector<std::string>{"-s", user, "-m", "1", "-d", std::to_string(kSlowAnswer.count()),
                                     // see the scenario: an ACK may come during the pause
                                     "-default_behaviors", "all,-abortunexp"});
        EXPECT_TRUE(registerAt(*kamailio_, user, *peer));
        return peer;
    }

    // Alice's conference, then her calls to bob (slowFarEnd) and carol;
    // returns while the conference re-invites bob's call to make it a member.
    void joinReInvitingBob(std::shared_ptr<SipCall>& toBob, std::shared_ptr<SipCall>& toCarol)
    {
        const std::shared_ptr<SipAccount> alice = registeredAccount("alice");
        stack.startConference({alice});
        toBob = confirmedCall(alice, "bob");
        toCarol = confirmedCall(alice, "carol");
        ASSERT_TRUE(waitFor([&] { return inLibraryConference(toBob) && reInviting(toBob); })) << conferenceLog();
    }

    // After the conference's stop: each call is held, reported so and out of
    // the library's conference. Then both are hung up.
    void expectBothHeldThenHangUp(const std::shared_ptr<SipCall>& toBob, const SippFixture& bob,
                                  const std::shared_ptr<SipCall>& toCarol, BaresipFixture& carol)
    {
        EXPECT_TRUE(holdReported(toCarol)) << conferenceLog();
        EXPECT_TRUE(holdReported(toBob)) << conferenceLog() << bob.messages();
        EXPECT_TRUE(toBob->isLocalHold());
        EXPECT_TRUE(toCarol->isLocalHold());
        EXPECT_FALSE(inLibraryConference(toBob));
        EXPECT_FALSE(inLibraryConference(toCarol));
        toBob->hangup();
        toCarol->hangup();
        EXPECT_TRUE(events_.take("terminated", toBob));
        EXPECT_TRUE(carol.waitForEvent("CALL_CLOSED"));
    }

    static bool reInviting(const std::shared_ptr<SipCall>& call)
    {
        return SipStack::getInstance().runOnCore([&](const std::shared_ptr<linphone::Core>& /*core*/) {
            const auto stackCall = call->getLinphoneCall();
            return stackCall && stackCall->getState() == linphone::Call::State::Updating;
        });
    }

    // The call's hold is reported (on its worker) within the far end's time
    // for the re-INVITE under way and then for the hold's.
    bool holdReported(const std::shared_ptr<SipCall>& call)
    {
        return events_
            .take("hold", call, 2 * kSlowAnswer + 5s, [](const SipEvent& event) { return event.flag; })
            .has_value();
    }

    static constexpr std::chrono::milliseconds kSlowAnswer{2500};

    SipStack& stack = SipStack::getInstance();
    LogCapture capture;
    bool useFiles_ = true;
};

// The local user on the sound server's devices: the standard microphone (a
// 1 kHz sine) and the headset speaker.
class SipConferenceOnDevicesTest : public SipConferenceTest {
protected:
    void SetUp() override
    {
        useFiles_ = false;
        SipConferenceTest::SetUp();
        SipAudioDeviceManager& manager = SipAudioDeviceManager::getInstance();
        manager.initialize(nullptr);
        manager.refreshDevices(false);
        manager.setPlaybackDevice("Headset Speaker");
        manager.setCaptureDevice("Headset Microphone");
    }

    // The usual level of all that the local user hears from now on: every
    // block's root mean square, the median of them. The sound path drops
    // samples while it catches up with its buffers, which shifts the tones a
    // little but keeps their level.
    static double localUserHears()
    {
        const std::vector<std::int16_t> heard = pulse().captureSink("headset_speaker", 2500ms);
        std::vector<double> levels;
        constexpr std::size_t kBlock = 400;
        for (std::size_t offset = 0; offset + kBlock <= heard.size(); offset += kBlock) {
            levels.push_back(ToneDetector::rms(std::vector<std::int16_t>(
                heard.begin() + static_cast<std::ptrdiff_t>(offset),
                heard.begin() + static_cast<std::ptrdiff_t>(offset + kBlock))));
        }
        if (levels.empty()) {
            return 0.0;
        }
        std::nth_element(levels.begin(), levels.begin() + static_cast<std::ptrdiff_t>(levels.size() / 2),
                         levels.end());
        return levels[levels.size() / 2];
    }
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

TEST_F(SipConferenceTest, TheLocalPlaybackLevelLeavesWhatTheMembersHearOfEachOther)
{
    // The level is set before the calls: every stream they start takes it.
    stack.setPlaybackLevel(0.25f);
    const auto bob = farEnd("bob", kBobTone, kQuietVoice);
    const auto carol = farEnd("carol", kCarolTone, kQuietVoice);
    const std::shared_ptr<SipAccount> alice = registeredAccount("alice");
    std::shared_ptr<SipCall> toBob;
    std::shared_ptr<SipCall> toCarol;
    ASSERT_NO_FATAL_FAILURE(conferenceOfTwo(alice, toBob, toCarol));
    std::this_thread::sleep_for(3s);
    ASSERT_NO_FATAL_FAILURE(hangUp(toBob, *bob, toCarol, *carol));

    // Joining renegotiates no member's media: a far end whose audio was
    // reset (held, or given another codec) stopped recording there, and
    // would seem not to hear the other.
    EXPECT_EQ(bob->receivedAudioResets(), 0) << bob->log() << conferenceLog();
    EXPECT_EQ(carol->receivedAudioResets(), 0) << carol->log() << conferenceLog();

    // Each hears the other as loud as the other speaks.
    const double spoken = kQuietVoice * 32767.0;
    EXPECT_NEAR(amplitudeHeard(*bob, kCarolTone), spoken, spoken * 0.2) << "bob hears carol" << bob->log();
    EXPECT_NEAR(amplitudeHeard(*carol, kBobTone), spoken, spoken * 0.2) << "carol hears bob" << carol->log();
}

TEST_F(SipConferenceOnDevicesTest, TheLocalUserHearsAndIsHeardAtTheLevels)
{
    // Set before the calls: every stream they start takes them.
    stack.setPlaybackLevel(0.25f);
    stack.setCaptureLevel(0.5f);
    const double microphone = ToneDetector(8000).typicalAmplitude(
        pulse().captureSource("headset_microphone", 1500ms), kLocalTone);
    const auto bob = farEnd("bob", kBobTone, kQuietVoice);
    const auto carol = farEnd("carol", kCarolTone, kQuietVoice);
    const std::shared_ptr<SipAccount> alice = registeredAccount("alice");
    std::shared_ptr<SipCall> toBob;
    std::shared_ptr<SipCall> toCarol;
    ASSERT_NO_FATAL_FAILURE(conferenceOfTwo(alice, toBob, toCarol));

    // Both voices together have the level of one of them.
    const double spoken = kQuietVoice * 32767.0;
    std::this_thread::sleep_for(2500ms);
    EXPECT_NEAR(localUserHears(), 0.25 * spoken, 0.25 * spoken * 0.25) << "at playback level 0.25";
    stack.setPlaybackLevel(1.0f);
    std::this_thread::sleep_for(2500ms);
    EXPECT_NEAR(localUserHears(), spoken, spoken * 0.25) << "at playback level 1.0";

    ASSERT_NO_FATAL_FAILURE(hangUp(toBob, *bob, toCarol, *carol));
    ASSERT_GT(microphone, 1000.0);
    EXPECT_NEAR(amplitudeHeard(*bob, kLocalTone), 0.5 * microphone, 0.5 * microphone * 0.2) << "bob hears us";
    EXPECT_NEAR(amplitudeHeard(*carol, kLocalTone), 0.5 * microphone, 0.5 * microphone * 0.2) << "carol hears us";
}

TEST_F(SipConferenceTest, RecordersOfMembersRecordTheConferenceAlsoWhenTheirCallJoinsLater)
{
    const auto bob = farEnd("bob", kBobTone);
    const auto carol = farEnd("carol", kCarolTone);
    const std::shared_ptr<SipAccount> alice = registeredAccount("alice");
    const std::string records = dir_.makeDir("records");

    // Bob's call is recorded from before the conference: first bob alone,
    // then, once his call is a member, the conference.
    const std::shared_ptr<SipCall> toBob = confirmedCall(alice, "bob");
    SipAudioRecorder sinceBefore((records + "/record1.wav").c_str());
    sinceBefore.start([&] { return toBob->getLinphoneCall(); });
    std::this_thread::sleep_for(1500ms);
    stack.startConference({alice});
    const std::shared_ptr<SipCall> toCarol = confirmedCall(alice, "carol");
    ASSERT_TRUE(waitFor([&] { return inLibraryConference(toBob) && inLibraryConference(toCarol); }))
        << conferenceLog();
    ASSERT_TRUE(waitFor([&] { return toBob->isMediaActive() && toCarol->isMediaActive(); })) << conferenceLog();

    // Carol's call is a member already when its recording starts.
    SipAudioRecorder ofMember((records + "/record2.wav").c_str());
    ofMember.start([&] { return toCarol->getLinphoneCall(); });
    EXPECT_TRUE(ofMember.isRecording());
    std::this_thread::sleep_for(3s);
    // The conference ends under the recordings: both calls are held, and
    // the recorders stay with them.
    stack.stopConference();
    EXPECT_TRUE(waitFor([&] { return toBob->isLocalHold() && toCarol->isLocalHold(); })) << conferenceLog();
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(ofMember.isRecording());
    ofMember.stop();
    sinceBefore.stop();
    ASSERT_NO_FATAL_FAILURE(hangUp(toBob, *bob, toCarol, *carol));

    // Both hold both voices of the conference; bob's alone came first.
    const WavFile member = WavFile::read(records + "/record2.wav");
    EXPECT_EQ(member.sampleRate, SipAudioRecorder::kSampleRate);
    const ToneDetector detector(SipAudioRecorder::kSampleRate);
    EXPECT_GE(detector.blocksWithTone(member.samples, kBobTone, 0.2), 20) << conferenceLog();
    EXPECT_GE(detector.blocksWithTone(member.samples, kCarolTone, 0.2), 20) << conferenceLog();
    const WavFile whole = WavFile::read(records + "/record1.wav");
    EXPECT_EQ(whole.sampleRate, SipAudioRecorder::kSampleRate);
    EXPECT_GE(detector.blocksWithTone(whole.samples, kCarolTone, 0.2), 20) << conferenceLog();
    const std::vector<std::int16_t> firstSecond(
        whole.samples.begin(),
        whole.samples.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(whole.samples.size(), 16000)));
    EXPECT_GE(detector.blocksWithTone(firstSecond, kBobTone, 0.5), 10);
    EXPECT_EQ(detector.blocksWithTone(firstSecond, kCarolTone, 0.2), 0);
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

// The library tells conference calls apart by the far end's address alone:
// two calls with one far end were once mixed up, and leaving the conference
// read a conference the library had deleted.
TEST_F(SipConferenceTest, TwoCallsWithOneFarEndStayOutAndEndCleanly)
{
    const auto bob = farEnd("bob", kBobTone);
    const auto carol = farEnd("carol", kCarolTone);
    const std::shared_ptr<SipAccount> alice = registeredAccount("alice");
    stack.startConference({alice});
    const std::shared_ptr<SipCall> first = confirmedCall(alice, "bob");
    const std::shared_ptr<SipCall> second = confirmedCall(alice, "bob");
    for (const auto& call : {first, second}) {
        stack.joinConference(call);
    }
    EXPECT_FALSE(inLibraryConference(first));
    EXPECT_FALSE(inLibraryConference(second));
    EXPECT_TRUE(capture.contains("Another call has the same remote party")) << conferenceLog();

    // Out of the conference and back from hold, each as a plain call.
    stack.leaveConference(first);
    stack.leaveConference(second);
    first->setHold(true, false);
    ASSERT_TRUE(waitFor([&] { return first->isLocalHold(); })) << conferenceLog();
    first->setHold(false, false);
    EXPECT_TRUE(waitFor([&] { return !first->isLocalHold() && first->isMediaActive(); })) << conferenceLog();
    EXPECT_FALSE(inLibraryConference(first));

    // Once its twin has ended, a call joins like any other.
    second->hangup();
    ASSERT_TRUE(events_.take("terminated", second));
    const std::shared_ptr<SipCall> toCarol = confirmedCall(alice, "carol");
    EXPECT_TRUE(waitFor([&] {
        stack.joinConference(first);
        return inLibraryConference(first) && inLibraryConference(toCarol);
    })) << conferenceLog();

    first->hangup();
    toCarol->hangup();
    EXPECT_TRUE(events_.take("terminated", first));
    EXPECT_TRUE(events_.take("terminated", toCarol));
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

// The library refuses to hold a call while the call is being re-invited.
// A conference stopped right after a join finds a member in the join's
// re-INVITE: that member is held once the re-INVITE is through.
TEST_F(SipConferenceTest, StoppedWhileAJoinReInvitesAMemberItStillHoldsEveryCall)
{
    const auto bob = slowFarEnd("bob");
    const auto carol = farEnd("carol", kCarolTone);
    std::shared_ptr<SipCall> toBob;
    std::shared_ptr<SipCall> toCarol;
    ASSERT_NO_FATAL_FAILURE(joinReInvitingBob(toBob, toCarol));

    stack.stopConference();
    EXPECT_TRUE(capture.contains("Hold call deferred until its re-INVITE ends: pjsipCallId=")) << conferenceLog();
    expectBothHeldThenHangUp(toBob, *bob, toCarol, *carol);
}

// A softphone sends a leave, a join and the stop back to back: the leave
// has the library hold the call that leaves and re-invite the one that is
// left; the stop comes while that re-INVITE is under way.
TEST_F(SipConferenceTest, StoppedRightAfterALeaveAndAJoinItStillHoldsEveryCall)
{
    const auto bob = slowFarEnd("bob");
    const auto carol = farEnd("carol", kCarolTone);
    std::shared_ptr<SipCall> toBob;
    std::shared_ptr<SipCall> toCarol;
    ASSERT_NO_FATAL_FAILURE(conferenceOfTwo(registeredAccount("alice"), toBob, toCarol));
    ASSERT_TRUE(waitFor([&] { return !reInviting(toBob); }, kSlowAnswer + 5s)) << conferenceLog();

    stack.leaveConference(toCarol);
    stack.joinConference(toCarol);
    stack.stopConference();
    expectBothHeldThenHangUp(toBob, *bob, toCarol, *carol);
}

// A hold asked for during a re-INVITE waits for its end; a resume asked for
// before then calls it off, and the call goes on.
TEST_F(SipConferenceTest, AResumeCallsOffAHoldThatWaitsForAReInvite)
{
    const auto bob = slowFarEnd("bob");
    const auto carol = farEnd("carol", kCarolTone);
    std::shared_ptr<SipCall> toBob;
    std::shared_ptr<SipCall> toCarol;
    ASSERT_NO_FATAL_FAILURE(joinReInvitingBob(toBob, toCarol));

    toBob->setHold(true, false);
    ASSERT_TRUE(capture.contains("Hold call deferred until its re-INVITE ends: pjsipCallId=")) << conferenceLog();
    toBob->setHold(false, false);
    ASSERT_TRUE(waitFor([&] { return !reInviting(toBob); }, kSlowAnswer + 5s)) << conferenceLog() << bob->messages();
    EXPECT_FALSE(events_.take("hold", toBob, 1s)) << conferenceLog();
    EXPECT_FALSE(toBob->isLocalHold());
    EXPECT_TRUE(toBob->isMediaActive()) << conferenceLog();

    toBob->hangup();
    EXPECT_TRUE(events_.take("terminated", toBob));
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
