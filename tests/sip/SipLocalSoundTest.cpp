// The engine makes no sound of its own: with a silent far end, nothing but
// silence reaches the sound devices while calls ring, are answered, send
// DTMF, are muted, held, resumed, hung up, refused or end at the far end.
// The softphone plays its own tones; a second one from the stack would
// double them.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sip/SipAccount.h"
#include "sip/SipAudioTestSupport.h"
#include "sip/SipCall.h"
#include "sip/SipCallTestSupport.h"
#include "sip/SipStack.h"
#include "support/BaresipFixture.h"
#include "support/ToneDetector.h"
#include "support/WavFile.h"

namespace Tarvent::VirtualChannel::TestSupport {
namespace {

using namespace std::chrono_literals;

constexpr int kRate = 8000;
constexpr std::size_t kBlock = kRate / 20;  // 50 ms
// Decoded silence stays far below this; the stack's tones are thousands.
constexpr double kLoudRms = 200.0;
// Played into every sink at the end: proves the monitors still listened.
constexpr double kControlTone = 300.0;

BaresipFixture::Options silentFarEnd(const std::string& user, const KamailioFixture& registrar, bool autoAnswer)
{
    return SipCallTest::farEndOptions(user, registrar, autoAnswer, 0.0);  // a sine of 0 Hz: silence
}

// Everything the two playback devices play while it lives.
class SinkMonitor {
public:
    SinkMonitor()
    {
        for (const char* sink : {"headset_speaker", "desk_speaker"}) {
            sinks_.push_back(sink);
            recordings_.push_back(pulse().recordSink(sink));
        }
        for (const auto& recording : recordings_) {
            EXPECT_TRUE(recording->waitForData());
        }
    }

    // Plays the control tone into every sink, stops listening and returns,
    // per sink, a description of every loud block that is not the control
    // tone; fails the test when a sink did not hear the control tone.
    std::vector<std::string> foreignSounds(const TempDir& dir)
    {
        const std::string control = dir.file("control.wav");
        WavFile::makeTone(control, kRate, kControlTone, 1.0);
        for (const std::string& sink : sinks_) {
            const auto player = pulse().play(sink, control);
            EXPECT_TRUE(player->waitFor(10s));
        }
        std::this_thread::sleep_for(300ms);  // the monitor's latency

        std::vector<std::string> foreign;
        const ToneDetector detector(kRate);
        for (std::size_t s = 0; s < sinks_.size(); ++s) {
            const std::vector<std::int16_t> samples = recordings_[s]->stop();
            // Loud blocks by start; the control tone's own edges (a sine cut
            // off) spread over the frequencies, so its neighbours count as it.
            std::vector<std::size_t> loud;
            std::vector<std::size_t> controlled;
            for (std::size_t offset = 0; offset + kBlock <= samples.size(); offset += kBlock) {
                const std::vector<std::int16_t> block(samples.begin() + offset, samples.begin() + offset + kBlock);
                if (ToneDetector::rms(block) < kLoudRms) {
                    continue;
                }
                (detector.toneRatio(samples, offset, kControlTone) > 0.5 ? controlled : loud).push_back(offset);
            }
            const auto nearControl = [&](std::size_t offset) {
                for (const std::size_t other : controlled) {
                    if (offset + 2 * kBlock >= other && offset <= other + 2 * kBlock) {
                        return true;
                    }
                }
                return false;
            };
            for (const std::size_t offset : loud) {
                if (!nearControl(offset)) {
                    std::ostringstream text;
                    text << sinks_[s] << " at " << static_cast<double>(offset) / kRate << " s";
                    foreign.push_back(text.str());
                }
            }
            const auto controlBlocks = controlled.size();
            EXPECT_GT(controlBlocks, 5u) << sinks_[s] << " did not hear the control tone";
        }
        return foreign;
    }

private:
    std::vector<std::string> sinks_;
    std::vector<std::unique_ptr<PulseAudioFixture::Recording>> recordings_;
};

std::string join(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

TEST_F(SipCallTest, OutgoingCallsMakeNoSoundOfTheirOwn)
{
    BaresipFixture bob(silentFarEnd("bob", *kamailio_, false));
    const auto account = registeredAccount("alice");
    SinkMonitor monitor;

    const auto call = account->createCall("bob");
    call->dial();
    ASSERT_TRUE(bob.waitForEvent("CALL_INCOMING")) << bob.log();
    ASSERT_TRUE(events_.take("early", call));
    std::this_thread::sleep_for(2500ms);  // ringing: no ringback of the stack's own
    bob.accept();
    ASSERT_TRUE(events_.take("confirmed", call));
    ASSERT_TRUE(events_.take("media", call, 5s, [](const SipEvent& e) { return e.media.mediaState == 1; }));

    call->dialDtmf("159#");
    ASSERT_TRUE(bob.waitForEvent("CALL_DTMF_START")) << bob.log();
    std::this_thread::sleep_for(1s);

    SipStack::getInstance().muteMicrophone(true);
    std::this_thread::sleep_for(1s);
    SipStack::getInstance().muteMicrophone(false);
    std::this_thread::sleep_for(1s);

    call->setHold(true, false);
    ASSERT_TRUE(events_.take("hold", call, 10s, [](const SipEvent& e) { return e.flag; }));
    std::this_thread::sleep_for(3s);  // a repeating hold beep comes back within this
    call->setHold(false, false);
    ASSERT_TRUE(events_.take("hold", call, 10s, [](const SipEvent& e) { return !e.flag; }));
    std::this_thread::sleep_for(1s);

    call->hangup();
    ASSERT_TRUE(events_.take("terminated", call));
    std::this_thread::sleep_for(1500ms);  // no end-of-call tone

    const auto nobody = account->createCall("nobody");
    nobody->dial();
    ASSERT_TRUE(events_.take("terminated", nobody));
    std::this_thread::sleep_for(1500ms);  // no error tone

    const auto refused = account->createCall("bob");
    refused->dial();
    ASSERT_TRUE(bob.waitForEvent("CALL_INCOMING")) << bob.log();
    bob.hangup();  // 486
    ASSERT_TRUE(events_.take("terminated", refused));
    std::this_thread::sleep_for(2s);  // no busy tone

    const std::vector<std::string> foreign = monitor.foreignSounds(dir_);
    EXPECT_TRUE(foreign.empty()) << join(foreign);
}

TEST_F(SipCallTest, IncomingCallsMakeNoSoundOfTheirOwn)
{
    BaresipFixture bob(silentFarEnd("bob", *kamailio_, true));
    BaresipFixture carol(silentFarEnd("carol", *kamailio_, true));
    const auto account = registeredAccount("alice");
    SinkMonitor monitor;

    carol.dial("sip:alice@127.0.0.1");
    const auto first = events_.take("incoming");
    ASSERT_TRUE(first) << carol.log();
    std::this_thread::sleep_for(2500ms);  // no ring tone
    first->call->answerAudio();
    ASSERT_TRUE(events_.take("confirmed", first->call));
    ASSERT_TRUE(carol.waitForEvent("CALL_ESTABLISHED")) << carol.log();

    bob.dial("sip:alice@127.0.0.1");  // rings beside the call: no waiting tone
    const auto second = events_.take("incoming");
    ASSERT_TRUE(second) << bob.log();
    std::this_thread::sleep_for(2500ms);
    bob.hangup();
    ASSERT_TRUE(events_.take("terminated", second->call));

    carol.hangup();
    ASSERT_TRUE(events_.take("terminated", first->call));
    std::this_thread::sleep_for(1500ms);  // no end-of-call tone

    const std::vector<std::string> foreign = monitor.foreignSounds(dir_);
    EXPECT_TRUE(foreign.empty()) << join(foreign);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel::TestSupport
