// Echo cancellation as a headset user needs it: the far end never hears
// itself. The far end talks (a tone), our microphone is silent (a headset
// has no path from its speaker to its microphone), and what comes back to
// the far end must be silence, not its own voice.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include <linphone++/linphone.hh>

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

constexpr double kFarTone = 697.0;

class SipEchoTest : public SipCallTest {
protected:
    void SetUp() override
    {
        SipCallTest::SetUp();
        // Fed by nothing: silence, from a running device.
        if (quietMicrophone_ < 0) {
            quietMicrophone_ = pulse().addFedSource("quiet_microphone", "Quiet Microphone");
        }
        // The stack's own echo setting, as it runs in the engine.
        SipStack::getInstance().runOnCore([](const std::shared_ptr<linphone::Core>& core) {
            core->reloadSoundDevices();
            core->enableEchoCancellation(SipStack::kEchoCancellation);
            for (const auto& device : core->getExtendedAudioDevices()) {
                if (device->getDeviceName() == "Quiet Microphone" &&
                    device->hasCapability(linphone::AudioDevice::Capabilities::CapabilityRecord)) {
                    core->setDefaultInputAudioDevice(device);
                }
            }
        });
    }

    static int quietMicrophone_;
};

int SipEchoTest::quietMicrophone_ = -1;

TEST_F(SipEchoTest, TheFarEndDoesNotHearItselfFromASilentMicrophone)
{
    BaresipFixture bob(farEndOptions("bob", *kamailio_, true, kFarTone));
    const auto account = registeredAccount("alice");
    const auto call = account->createCall("bob");
    call->dial();
    ASSERT_TRUE(events_.take("confirmed", call)) << bob.log();
    std::this_thread::sleep_for(6s);  // the far end talks all along
    call->hangup();
    ASSERT_TRUE(events_.take("terminated", call));
    ASSERT_TRUE(bob.waitForEvent("CALL_CLOSED")) << bob.log();

    const auto recordings = bob.receivedRecordings();
    ASSERT_FALSE(recordings.empty()) << bob.log();
    const WavFile heard = WavFile::read(recordings.back());
    ASSERT_GT(heard.samples.size(), static_cast<std::size_t>(heard.sampleRate) * 3);
    // Silence comes back, not the far end's own voice.
    EXPECT_LT(ToneDetector::rms(heard.samples), 100.0);
    EXPECT_EQ(ToneDetector(heard.sampleRate).blocksWithTone(heard.samples, kFarTone, 0.5), 0);
}

// Our microphone talks (the standard 1 kHz source) while the far end talks
// too: the far end hears our voice at the level the microphone gives it.
TEST_F(SipEchoTest, OurVoiceIsNotTurnedDownWhileTheFarEndTalks)
{
    SipStack::getInstance().runOnCore([](const std::shared_ptr<linphone::Core>& core) {
        for (const auto& device : core->getExtendedAudioDevices()) {
            if (device->getDeviceName() == "Headset Microphone" &&
                device->hasCapability(linphone::AudioDevice::Capabilities::CapabilityRecord)) {
                core->setDefaultInputAudioDevice(device);
            }
        }
    });
    const double spoken = ToneDetector::rms(pulse().captureSource("headset_microphone", 1500ms));
    ASSERT_GT(spoken, 1000.0);

    BaresipFixture bob(farEndOptions("bob", *kamailio_, true, kFarTone));
    const auto account = registeredAccount("alice");
    const auto call = account->createCall("bob");
    call->dial();
    ASSERT_TRUE(events_.take("confirmed", call)) << bob.log();
    std::this_thread::sleep_for(5s);  // both talk all along
    call->hangup();
    ASSERT_TRUE(events_.take("terminated", call));
    ASSERT_TRUE(bob.waitForEvent("CALL_CLOSED")) << bob.log();

    const auto recordings = bob.receivedRecordings();
    ASSERT_FALSE(recordings.empty()) << bob.log();
    const WavFile heard = WavFile::read(recordings.back());
    // The second half: whatever a canceller adapts has done so by then.
    const std::vector<std::int16_t> tail(heard.samples.begin() + static_cast<std::ptrdiff_t>(heard.samples.size() / 2),
                                         heard.samples.end());
    EXPECT_GT(ToneDetector(heard.sampleRate).blocksWithTone(tail, 1000.0), 20);
    EXPECT_GT(ToneDetector::rms(tail), 0.7 * spoken);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel::TestSupport
