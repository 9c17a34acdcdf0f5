// Calls against a sound server that is killed and comes back: every call
// stays, keeps sending while the server is away, gets its audio back when a
// new server is there, and holds, hangs up and new calls go on as before.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "sip/SipAccount.h"
#include "sip/SipAudioTestSupport.h"
#include "sip/SipCall.h"
#include "sip/SipCallTestSupport.h"
#include "support/BaresipFixture.h"
#include "support/ToneDetector.h"
#include "support/WavFile.h"

namespace Tarvent::VirtualChannel::TestSupport {
namespace {

using namespace std::chrono_literals;

constexpr double kOurTone = 1000.0;  // the standard microphone
constexpr double kFarTone = 697.0;

class SipSoundServerTest : public SipCallTest {
protected:
    // The packets the call sent and received over `span` (the sent counter
    // moves in steps of a few seconds' packets: ask for three seconds).
    std::pair<long long, long long> traffic(const std::shared_ptr<SipCall>& call, std::chrono::milliseconds span)
    {
        call->updateCallStatistics();
        std::this_thread::sleep_for(span);
        const SipCallStatistics stats = call->updateCallStatistics();
        return {stats.txPacketsDelta, stats.rxPacketsDelta};
    }

    // Whether the far end's tone plays on our speaker (within a few tries:
    // the monitor takes a moment to deliver).
    static bool farEndHeard()
    {
        const ToneDetector detector(8000);
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (detector.blocksWithTone(pulse().captureSink("headset_speaker", 1500ms), kFarTone) >= 5) {
                return true;
            }
        }
        return false;
    }

    // A call from alice to bob, confirmed with media.
    std::shared_ptr<SipCall> establish(const std::shared_ptr<SipAccount>& account)
    {
        const auto call = account->createCall("bob");
        call->dial();
        EXPECT_TRUE(events_.take("confirmed", call));
        EXPECT_TRUE(events_.take("media", call, 5s, [](const SipEvent& e) { return e.media.mediaState == 1; }));
        return call;
    }

    void restartSoundServer(const std::shared_ptr<SipCall>& call)
    {
        pulse().kill();
        // The call keeps sending while there is no sound server: silence.
        const auto away = traffic(call, 3s);
        EXPECT_GT(away.first, 50) << "the call stopped sending with the sound server";
        EXPECT_GT(away.second, 50);
        pulse().restart();
    }
};

TEST_F(SipSoundServerTest, ACallKeepsSendingAndGetsItsAudioBackAndIsHeld)
{
    BaresipFixture bob(farEndOptions("bob", *kamailio_, true, kFarTone));
    const auto account = registeredAccount("alice");
    const auto call = establish(account);
    ASSERT_TRUE(farEndHeard());

    restartSoundServer(call);
    EXPECT_TRUE(farEndHeard()) << "the call's audio did not come back on the new server";

    call->setHold(true, false);
    ASSERT_TRUE(events_.take("hold", call, 10s, [](const SipEvent& e) { return e.flag; }));
    call->setHold(false, false);
    ASSERT_TRUE(events_.take("hold", call, 10s, [](const SipEvent& e) { return !e.flag; }));
    EXPECT_GT(traffic(call, 3s).first, 50);

    call->hangup();
    ASSERT_TRUE(events_.take("terminated", call));
    ASSERT_TRUE(bob.waitForEvent("CALL_CLOSED")) << bob.log();
    // What bob heard at the end is our microphone of the new server.
    const auto recordings = bob.receivedRecordings();
    ASSERT_FALSE(recordings.empty());
    const WavFile heard = WavFile::read(recordings.back());
    const std::size_t lastSecond = heard.samples.size() > 8000 ? heard.samples.size() - 8000 : 0;
    const std::vector<std::int16_t> tail(heard.samples.begin() + static_cast<std::ptrdiff_t>(lastSecond),
                                         heard.samples.end());
    EXPECT_GT(ToneDetector(heard.sampleRate).blocksWithTone(tail, kOurTone), 5);
}

TEST_F(SipSoundServerTest, AHangupAndANewCallAfterARestartHaveAudio)
{
    BaresipFixture bob(farEndOptions("bob", *kamailio_, true, kFarTone));
    const auto account = registeredAccount("alice");
    const auto first = establish(account);
    restartSoundServer(first);
    first->hangup();
    ASSERT_TRUE(events_.take("terminated", first));
    ASSERT_TRUE(bob.waitForEvent("CALL_CLOSED")) << bob.log();

    const auto second = establish(account);
    EXPECT_TRUE(farEndHeard());
    EXPECT_GT(traffic(second, 3s).first, 50);
    second->hangup();
    ASSERT_TRUE(events_.take("terminated", second));
}

TEST_F(SipSoundServerTest, ANewCallWhileTheServerIsAwaySendsAndHearsOnceItIsBack)
{
    BaresipFixture bob(farEndOptions("bob", *kamailio_, true, kFarTone));
    const auto account = registeredAccount("alice");
    pulse().kill();
    const auto call = establish(account);
    const auto away = traffic(call, 3s);
    EXPECT_GT(away.first, 50);
    pulse().restart();
    EXPECT_TRUE(farEndHeard());
    call->hangup();
    ASSERT_TRUE(events_.take("terminated", call));
}

}  // namespace
}  // namespace Tarvent::VirtualChannel::TestSupport
