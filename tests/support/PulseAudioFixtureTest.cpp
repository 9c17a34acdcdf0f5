#include "support/PulseAudioFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/TempDir.h"
#include "support/ToneDetector.h"
#include "support/WavFile.h"

namespace Tarvent::VirtualChannel::TestSupport {
namespace {

using namespace std::chrono_literals;

bool contains(const std::vector<std::string>& list, const std::string& item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

TEST(PulseAudioFixtureTest, ListsNamedDevicesAndFollowsChanges)
{
    PulseAudioFixture pulse;
    EXPECT_EQ(std::getenv("PULSE_SERVER"), pulse.server());

    const auto sinks = pulse.sinkNames();
    EXPECT_TRUE(contains(sinks, "headset_speaker"));
    EXPECT_TRUE(contains(sinks, "desk_speaker"));
    EXPECT_TRUE(contains(pulse.sourceNames(), "headset_microphone"));
    const std::string described = pulse.pactl({"list", "sinks"});
    EXPECT_NE(described.find("Description: Headset Speaker"), std::string::npos);
    EXPECT_NE(described.find("Description: Desk Speaker"), std::string::npos);

    const int usb = pulse.addSink("usb_headset", "USB \"Pro\" Headset");
    EXPECT_TRUE(contains(pulse.sinkNames(), "usb_headset"));
    EXPECT_NE(pulse.pactl({"list", "sinks"}).find("Description: USB \"Pro\" Headset"), std::string::npos);
    pulse.removeDevice(usb);
    EXPECT_FALSE(contains(pulse.sinkNames(), "usb_headset"));
}

TEST(PulseAudioFixtureTest, WhatIsPlayedIntoASinkIsReadBackFromItsMonitor)
{
    PulseAudioFixture pulse;
    TempDir dir;
    WavFile::makeTone(dir.file("tone.wav"), 8000, 1000.0, 10.0);
    const auto player = pulse.play("desk_speaker", dir.file("tone.wav"));
    const auto samples = pulse.captureSink("desk_speaker", 2500ms);
    ASSERT_FALSE(samples.empty());
    EXPECT_GT(ToneDetector(8000).blocksWithTone(samples, 1000.0), 5);

    // The other sink heard nothing.
    const auto quiet = pulse.captureSink("headset_speaker", 1500ms);
    EXPECT_LT(ToneDetector::rms(quiet), 10.0);
}

// What the measures of a call's traffic rely on: the standard microphone
// delivers in blocks, with a pause of most of a block between two.
TEST(PulseAudioFixtureTest, TheStandardMicrophoneDeliversItsToneABlockAtATime)
{
    PulseAudioFixture pulse;
    const auto recording = pulse.record("headset_microphone");
    ASSERT_TRUE(recording->waitForData());
    std::uintmax_t size = recording->size();
    auto grown = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration longestPause{0};
    const auto end = grown + 2 * PulseAudioFixture::kSineBlock + 500ms;
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(10ms);  // sampling the recording's growth is the point here
        const std::uintmax_t now = recording->size();
        if (now != size) {
            longestPause = std::max(longestPause, std::chrono::steady_clock::now() - grown);
            grown = std::chrono::steady_clock::now();
            size = now;
        }
    }
    EXPECT_GT(longestPause, PulseAudioFixture::kSineBlock / 2);
    EXPECT_GT(ToneDetector(8000).blocksWithTone(recording->stop(), 1000.0), 5);
}

TEST(PulseAudioFixtureTest, FedMicrophoneCarriesWhatIsPlayedIntoItsFeederAndGoesWithIt)
{
    PulseAudioFixture pulse(false);
    const int mic = pulse.addFedSource("desk_microphone", "Desk Microphone");
    EXPECT_TRUE(contains(pulse.sourceNames(), "desk_microphone"));
    EXPECT_TRUE(contains(pulse.sinkNames(), "desk_microphone_feed"));

    TempDir dir;
    WavFile::makeTone(dir.file("voice.wav"), 8000, 770.0, 10.0);
    const auto player = pulse.play("desk_microphone_feed", dir.file("voice.wav"));
    EXPECT_GT(ToneDetector(8000).blocksWithTone(pulse.captureSource("desk_microphone", 2500ms), 770.0), 5);

    pulse.removeDevice(mic);
    EXPECT_FALSE(contains(pulse.sourceNames(), "desk_microphone"));
    EXPECT_FALSE(contains(pulse.sinkNames(), "desk_microphone_feed"));
}

}  // namespace
}  // namespace Tarvent::VirtualChannel::TestSupport
