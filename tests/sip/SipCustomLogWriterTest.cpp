#include "sip/SipCustomLogWriter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/CapturingAppender.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;
using Clock = SipCustomLogWriter::Clock;

class SipCustomLogWriterTest : public ::testing::Test {
protected:
    Clock::time_point now = Clock::time_point() + 1h;
    SipCustomLogWriter writer{[this]() { return now; }};
    TestSupport::LogCapture capture;

    void write(const std::string& message)
    {
        SipLogEntry entry;
        entry.msg = message;
        writer.write(entry);
    }

    std::vector<std::string> lines() { return capture.messages(); }
};

TEST_F(SipCustomLogWriterTest, SplitsIntoLinesAndSkipsEmptyOnes)
{
    write("a\r\n\nb");
    EXPECT_EQ(lines(), (std::vector<std::string>{"PJSIP: a", "PJSIP: b"}));

    capture.store().clear();
    write("");
    write("\r\n");
    EXPECT_EQ(lines(), (std::vector<std::string>{"PJSIP: "}));
}

TEST_F(SipCustomLogWriterTest, DropsSoundCardDiscoveryChatter)
{
    write("pjsua_aud.c wmme_dev.c: anything at all");
    write("mediastreamer: Registering all soundcard handlers");
    write("mediastreamer: Card 'ALSA Unknown: default' added with capabilities [none]");
    write("mediastreamer: Card 'PulseAudio Unknown: Desk Speaker' prepended with capabilities [PLAYBACK]");
    write("mediastreamer: New PulseAudio context state: PA_CONTEXT_CONNECTING");
    write("mediastreamer: alsa error in confmisc.c:855 - cannot find card '0'");
    write("mediastreamer: alsa error in pcm.c:2666 - Unknown PCM default");
    write("mediastreamer: ALSA: found card with name [PCH], long name [HDA Intel PCH].");
    write("liblinphone: Device [Headset Speaker] type is unknown");
    EXPECT_TRUE(lines().empty());

    write("liblinphone: Could not find a suitable soundcard with capabilities : 2");
    EXPECT_EQ(lines().size(), 1u);
}

TEST_F(SipCustomLogWriterTest, ThrottlesCaptureReadErrorsToOnePerInterval)
{
    const std::string error = "mediastreamer: alsa_read: snd_pcm_readi() failed:Input/output error.";
    write(error);  // within the first 10000 ms after construction
    EXPECT_TRUE(lines().empty());

    now += 10000ms;
    write(error);
    EXPECT_EQ(lines().size(), 1u);
    now += 9999ms;
    write(error);
    EXPECT_EQ(lines().size(), 1u);
    now += 1ms;  // exactly 10000 ms after the last one let through
    write(error);
    EXPECT_EQ(lines().size(), 2u);
}

TEST_F(SipCustomLogWriterTest, CountsCaptureAndPlaybackErrorsSeparately)
{
    now += 10000ms;
    write("mediastreamer: alsa_read: snd_pcm_readi() failed:Broken pipe.");
    write("mediastreamer: alsa_card_write: snd_pcm_writei() failed:Broken pipe.");
    write("alsa_dev.c ca_thread_func: error reading data!");
    write("alsa_dev.c pb_thread_func: error writing data!");
    EXPECT_EQ(lines(), (std::vector<std::string>{"PJSIP: mediastreamer: alsa_read: snd_pcm_readi() failed:Broken pipe.",
                                                 "PJSIP: mediastreamer: alsa_card_write: snd_pcm_writei() failed:Broken pipe."}));
}

TEST_F(SipCustomLogWriterTest, IsThrottledLeavesTheTimeAloneForOtherTexts)
{
    SipLogEntry entry;
    entry.msg = "something else";
    Clock::time_point last = now - 1h;
    EXPECT_FALSE(writer.isThrottled(entry, "pa_stream_peek() failed", last));
    EXPECT_EQ(last, now - 1h);

    entry.msg = "mediastreamer: pa_stream_peek() failed";
    EXPECT_FALSE(writer.isThrottled(entry, "pa_stream_peek() failed", last));
    EXPECT_EQ(last, now);
    EXPECT_TRUE(writer.isThrottled(entry, "pa_stream_peek() failed", last));
}

TEST(SipCustomLogWriterThreadsTest, LetsOneErrorThroughWhenManyThreadsLogAtOnce)
{
    TestSupport::LogCapture capture;
    std::atomic<Clock::rep> ticks{0};
    SipCustomLogWriter writer([&ticks]() { return Clock::time_point(Clock::duration(ticks.load())); });
    ticks = std::chrono::duration_cast<Clock::duration>(10000ms).count();

    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&writer]() {
            SipLogEntry entry;
            entry.msg = "mediastreamer: alsa_card_write: snd_pcm_writei() failed:Broken pipe.";
            for (int i = 0; i < 500; ++i) {
                writer.write(entry);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(capture.messages().size(), 1u);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
