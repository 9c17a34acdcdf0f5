#include "sip/SipAudioPlayer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sip/SipAudioDeviceManager.h"
#include "sip/SipAudioTestSupport.h"
#include "sip/SipError.h"
#include "sip/SipStack.h"
#include "support/ToneDetector.h"
#include "support/WavFile.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;
using TestSupport::pulse;

constexpr double kToneHz = 1000.0;
// A tone of -6 dBFS has this RMS.
constexpr double kToneRms = 32767.0 * 0.5 / 1.41421356;

// Counts end-of-file reports, as the player service would (under a lock
// of its own that it also holds while it starts and disposes of players).
class EofRecorder : public ISipAudioPlayerCallback {
public:
    void onPlayerEof(SipAudioPlayer* player) override
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            ++reports;
            last = player;
        }
        changed.notify_all();
    }

    bool waitForReports(int count, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return reports >= count; });
    }

    int count()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return reports;
    }

    std::mutex mutex;
    std::condition_variable changed;
    int reports = 0;
    SipAudioPlayer* last = nullptr;
};

class SipAudioPlayerTest : public TestSupport::SipAudioTest {
protected:
    void SetUp() override
    {
        SipAudioTest::SetUp();
        manager.setPlaybackDevice("Desk Speaker");
    }

    std::string makeTone(const std::string& name, double seconds)
    {
        const std::string path = dir_.file(name);
        TestSupport::WavFile::makeTone(path, 16000, kToneHz, seconds);
        return path;
    }

    std::unique_ptr<SipAudioPlayer> makePlayer(const std::string& file, bool loop, float level = 1.0f,
                                               bool extra = false)
    {
        std::vector<SipAudioSink> sinks{manager.getDevMedia()};
        if (extra) {
            sinks.push_back(manager.getExtraPlaybackDevice().value());
        }
        return std::make_unique<SipAudioPlayer>(&eof, file.c_str(), level, sinks, loop);
    }

    // At least `duration` of what `sink` plays, if it comes: a monitor takes
    // a second or two to deliver its first data, longer on a busy machine.
    static std::vector<std::int16_t> listen(const std::string& sink, std::chrono::milliseconds duration)
    {
        const auto wanted = static_cast<std::size_t>(duration.count()) * 8;
        std::vector<std::int16_t> heard;
        for (int attempt = 0; attempt < 3 && heard.size() < wanted; ++attempt) {
            heard = pulse().captureSink(sink, duration + 2000ms);
        }
        return heard;
    }

    static int toneBlocks(const std::vector<std::int16_t>& samples)
    {
        return TestSupport::ToneDetector(8000).blocksWithTone(samples, kToneHz, 0.8);
    }

    // Share of the 50 ms blocks that hold the tone. A busy machine leaves
    // gaps in what a sink plays, so a prompt that plays throughout shows in
    // most blocks, not in all.
    static double toneShare(const std::vector<std::int16_t>& samples)
    {
        const std::size_t blocks = samples.size() / 400;
        return blocks == 0 ? 0.0 : static_cast<double>(toneBlocks(samples)) / static_cast<double>(blocks);
    }

    SipAudioDeviceManager& manager = SipAudioDeviceManager::getInstance();
    EofRecorder eof;
};

TEST_F(SipAudioPlayerTest, PlaysIntoTheSelectedSinkOnly)
{
    auto player = makePlayer(makeTone("tone.wav", 1.0), true);
    player->start();
    player->start();  // a second start plays nothing twice
    EXPECT_TRUE(player->isPlaying());
    const auto desk = listen("desk_speaker", 1500ms);
    const auto headset = listen("headset_speaker", 1000ms);
    ASSERT_GE(desk.size(), 8000u);
    EXPECT_GE(toneShare(desk), 0.7);
    // Played once, at the prompt's own level (not twice, not scaled).
    EXPECT_NEAR(TestSupport::ToneDetector::rms(desk), kToneRms, kToneRms * 0.2);
    EXPECT_EQ(toneBlocks(headset), 0);
    player->stop();
    EXPECT_FALSE(player->isPlaying());
}

TEST_F(SipAudioPlayerTest, LoopsUntilStoppedWithoutReportingTheEnd)
{
    // Half-second file, listened to for several of its lengths.
    auto player = makePlayer(makeTone("short.wav", 0.5), true);
    player->start();
    const auto played = listen("desk_speaker", 2000ms);
    ASSERT_GE(played.size(), 12000u);  // three times the file
    EXPECT_GE(toneShare(played), 0.7);
    EXPECT_TRUE(player->isPlaying());
    EXPECT_EQ(eof.count(), 0);
    player->stop();
    EXPECT_LT(TestSupport::ToneDetector::rms(listen("desk_speaker", 1000ms)), 100.0);
}

TEST_F(SipAudioPlayerTest, ReportsTheEndOfAFileAndPlaysItAgainFromTheStart)
{
    auto player = makePlayer(makeTone("short.wav", 0.3), false);
    player->start();
    ASSERT_TRUE(eof.waitForReports(1, 10s));
    EXPECT_EQ(eof.last, player.get());
    EXPECT_FALSE(player->isPlaying());
    player->start();
    EXPECT_TRUE(eof.waitForReports(2, 10s));
    EXPECT_FALSE(player->isPlaying());
    player->stop();  // idle: nothing happens
}

TEST_F(SipAudioPlayerTest, AlsoPlaysOnTheOpenExtraDeviceWithTheInverseLevel)
{
    manager.setExtraPlaybackDevice("Headset Speaker");
    manager.openExtraPlaybackDevice();
    auto player = makePlayer(makeTone("tone.wav", 1.0), true, 0.8f, true);
    player->start();
    const auto desk = listen("desk_speaker", 1000ms);
    const auto headset = listen("headset_speaker", 1000ms);
    player->stop();
    ASSERT_GE(desk.size(), 4000u);
    ASSERT_GE(headset.size(), 4000u);
    EXPECT_GE(toneShare(desk), 0.7);
    EXPECT_GE(toneShare(headset), 0.7);
    EXPECT_NEAR(TestSupport::ToneDetector::rms(desk), kToneRms, kToneRms * 0.2);
    EXPECT_NEAR(TestSupport::ToneDetector::rms(headset), kToneRms * 1.25, kToneRms * 0.25);

    // Closed: the same player plays on the playback device alone.
    manager.closeExtraPlaybackDevice();
    player->start();
    EXPECT_EQ(toneBlocks(listen("headset_speaker", 1500ms)), 0);
    player->stop();
}

TEST_F(SipAudioPlayerTest, DisposingDuringPlaybackOrAtTheEndIsSafe)
{
    const std::string file = makeTone("short.wav", 0.1);
    auto looping = makePlayer(file, true);
    looping->start();
    looping.reset();
    // Ends of files racing the players' destruction; the listener holds its
    // own lock while it disposes, as the player service does.
    for (int round = 0; round < 20; ++round) {
        std::unique_ptr<SipAudioPlayer> player = makePlayer(file, false);
        player->start();
        std::this_thread::sleep_for(std::chrono::milliseconds(80 + 2 * round));
        const std::lock_guard<std::mutex> lock(eof.mutex);
        player.reset();
    }
    EXPECT_LT(TestSupport::ToneDetector::rms(listen("desk_speaker", 1000ms)), 100.0);
}

TEST_F(SipAudioPlayerTest, RefusesBadLevelsAndFiles)
{
    const std::string file = makeTone("tone.wav", 0.2);
    for (const float level : {0.0f, -1.0f, std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::denorm_min()}) {
        EXPECT_THROW(makePlayer(file, false, level), std::runtime_error) << level;
    }
    EXPECT_THROW(makePlayer(dir_.file("missing.wav"), false), SipError);
    EXPECT_THROW(SipAudioPlayer(nullptr, nullptr, 1.0f, {SipAudioSink{}}, false), std::runtime_error);
}

TEST_F(SipAudioPlayerTest, AStackStopEndsPlaybackAndLaterStartsFail)
{
    auto player = makePlayer(makeTone("tone.wav", 1.0), true);
    player->start();
    SipStack::getInstance().stop();
    EXPECT_FALSE(player->isPlaying());
    player->stop();
    EXPECT_THROW(player->start(), SipError);
    EXPECT_LT(TestSupport::ToneDetector::rms(listen("desk_speaker", 1000ms)), 100.0);

    // The same player plays on the restarted stack, which went back to the
    // default playback device.
    SipStack::getInstance().start(false, "ovra-test", false, false);
    player->start();
    EXPECT_GE(toneShare(listen("headset_speaker", 1000ms)), 0.8);
    player.reset();  // disposed of while playing
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
