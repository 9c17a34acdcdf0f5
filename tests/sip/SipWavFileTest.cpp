// The recordings' files on their own: appends in place at the file's rate,
// a rate converter that leaves no aliases, and an append killed halfway.
#include "sip/SipWavFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sip/SipError.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/ToneDetector.h"
#include "support/WavFile.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;
using TestSupport::TempDir;
using TestSupport::ToneDetector;
using TestSupport::WavFile;

constexpr double kPi = 3.14159265358979323846;

// `seconds` of a sine at `hz`, peak `amplitude` of full scale, on every channel.
std::vector<std::int16_t> tone(int rate, int channels, double hz, double seconds, double amplitude = 0.5)
{
    const auto frames = static_cast<std::size_t>(rate * seconds);
    std::vector<std::int16_t> samples;
    samples.reserve(frames * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < frames; ++i) {
        const double value = amplitude * 32767.0 * std::sin(2.0 * kPi * hz * static_cast<double>(i) / rate);
        samples.insert(samples.end(), static_cast<std::size_t>(channels), static_cast<std::int16_t>(std::lround(value)));
    }
    return samples;
}

void putU32(std::string& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        out += static_cast<char>((value >> shift) & 0xFFu);
    }
}

void putU16(std::string& out, std::uint16_t value)
{
    out += static_cast<char>(value & 0xFFu);
    out += static_cast<char>(value >> 8);
}

// A WAV file's bytes; `dataSize` as the header tells it (the real size unless given).
std::string wavBytes(int rate, int channels, const std::vector<std::int16_t>& samples, long dataSize = -1)
{
    const auto bytes = static_cast<std::uint32_t>(samples.size() * 2);
    const auto declared = dataSize < 0 ? bytes : static_cast<std::uint32_t>(dataSize);
    std::string out = "RIFF";
    putU32(out, 36 + declared);
    out += "WAVEfmt ";
    putU32(out, 16);
    putU16(out, 1);
    putU16(out, static_cast<std::uint16_t>(channels));
    putU32(out, static_cast<std::uint32_t>(rate));
    putU32(out, static_cast<std::uint32_t>(rate * channels * 2));
    putU16(out, static_cast<std::uint16_t>(channels * 2));
    putU16(out, 16);
    out += "data";
    putU32(out, declared);
    for (const std::int16_t sample : samples) {
        putU16(out, static_cast<std::uint16_t>(sample));
    }
    return out;
}

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good()) << path;
}

std::vector<std::int16_t> slice(const std::vector<std::int16_t>& samples, std::size_t from, std::size_t to)
{
    return std::vector<std::int16_t>(samples.begin() + static_cast<std::ptrdiff_t>(from),
                                     samples.begin() + static_cast<std::ptrdiff_t>(to));
}

TEST(SipWavFileTest, RecordingsAreAppendedInPlaceAtTheFilesRate)
{
    TempDir dir("ovra-wav");
    const std::string target = dir.file("record1.wav");
    SipWavFile::createEmpty(target);
    const WavFile empty = WavFile::read(target);
    EXPECT_EQ(empty.sampleRate, 16000);
    EXPECT_EQ(empty.channels, 1);
    EXPECT_EQ(empty.samples.size(), 0u);

    // A PCMU call's 8 kHz and a wide-band call's 48 kHz stereo both become 16 kHz mono.
    writeFile(dir.file("narrow.wav"), wavBytes(8000, 1, tone(8000, 1, 697.0, 0.5)));
    writeFile(dir.file("wide.wav"), wavBytes(48000, 2, tone(48000, 2, 1477.0, 0.5)));
    EXPECT_EQ(SipWavFile::append(target, dir.file("narrow.wav")), 8000u);
    const std::string afterFirst = TempDir::readFile(target);
    EXPECT_EQ(SipWavFile::append(target, dir.file("wide.wav")), 8000u);

    const WavFile result = WavFile::read(target);
    EXPECT_EQ(result.sampleRate, 16000);
    EXPECT_EQ(result.channels, 1);
    ASSERT_EQ(result.samples.size(), 16000u);
    const ToneDetector detector(16000);
    EXPECT_EQ(detector.blocksWithTone(slice(result.samples, 0, 8000), 697.0, 0.9), 10);
    EXPECT_EQ(detector.blocksWithTone(slice(result.samples, 8000, 16000), 1477.0, 0.9), 10);
    // The first recording's bytes stay where they were: only sizes in the header change.
    const std::string now = TempDir::readFile(target);
    ASSERT_EQ(now.size(), 44u + 32000u);
    EXPECT_EQ(now.substr(44, afterFirst.size() - 44), afterFirst.substr(44));

    // An empty recording adds nothing; a missing or foreign one is refused and changes nothing.
    writeFile(dir.file("nothing.wav"), wavBytes(8000, 1, {}));
    EXPECT_EQ(SipWavFile::append(target, dir.file("nothing.wav")), 0u);
    writeFile(dir.file("text.wav"), "not a recording at all, just text");
    EXPECT_THROW(SipWavFile::append(target, dir.file("text.wav")), SipError);
    EXPECT_THROW(SipWavFile::append(target, dir.file("missing.wav")), SipError);
    EXPECT_EQ(TempDir::readFile(target), now);
}

TEST(SipWavFileTest, RateChangesLeaveNoAliasesOrImages)
{
    TempDir dir("ovra-wav");
    const ToneDetector detector(16000);
    // Each recording starts with a tenth of a second at 16 kHz; what comes
    // after it at another rate is converted.
    writeFile(dir.file("lead.wav"), wavBytes(16000, 1, std::vector<std::int16_t>(1600, 0)));
    const auto recording = [&](const std::string& name) {
        const std::string path = dir.file(name);
        SipWavFile::createEmpty(path);
        SipWavFile::append(path, dir.file("lead.wav"));
        return path;
    };
    const auto afterLead = [](const std::string& path) {
        const WavFile file = WavFile::read(path);
        EXPECT_EQ(file.sampleRate, 16000);
        return slice(file.samples, std::min<std::size_t>(1600, file.samples.size()), file.samples.size());
    };

    // 10 kHz does not fit into 16 kHz: it must vanish, not come back as 6 kHz.
    const std::string down = recording("down.wav");
    const std::vector<std::int16_t> high = tone(48000, 1, 10000.0, 1.0);
    writeFile(dir.file("high.wav"), wavBytes(48000, 1, high));
    EXPECT_EQ(SipWavFile::append(down, dir.file("high.wav")), 16000u);
    const std::vector<std::int16_t> folded = afterLead(down);
    EXPECT_EQ(folded.size(), 16000u);
    EXPECT_LT(ToneDetector::rms(folded), ToneDetector::rms(high) / 100.0);  // below -40 dB

    // 3 kHz at 8 kHz brought to 16 kHz keeps its level and gets no image at 5 kHz.
    const std::string up = recording("up.wav");
    writeFile(dir.file("voice.wav"), wavBytes(8000, 1, tone(8000, 1, 3000.0, 1.0)));
    EXPECT_EQ(SipWavFile::append(up, dir.file("voice.wav")), 16000u);
    const std::vector<std::int16_t> raised = afterLead(up);
    const double voice = detector.typicalAmplitude(raised, 3000.0);
    EXPECT_NEAR(voice, 0.5 * 32767.0, 0.05 * 32767.0);
    EXPECT_LT(detector.typicalAmplitude(raised, 5000.0), voice / 100.0);
}

// Appends `argv[2]` to `argv[1]` in a process of its own.
const char* const kAppendHelper = OVRA_WAV_APPEND_HELPER;

TEST(SipWavFileTest, AnAppendKilledHalfwayLeavesTheEarlierAudioIntact)
{
    TempDir dir("ovra-wav");
    const std::string target = dir.file("record1.wav");
    SipWavFile::createEmpty(target);
    writeFile(dir.file("first.wav"), wavBytes(16000, 1, tone(16000, 1, 697.0, 1.0)));
    ASSERT_EQ(SipWavFile::append(target, dir.file("first.wav")), 16000u);
    const std::string before = TempDir::readFile(target);
    const WavFile earlier = WavFile::read(target);

    // The next recording arrives through a pipe that stays open: the append
    // writes what it got and waits for more when it is killed.
    const std::string pipe = dir.file("next.wav");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    TestSupport::ChildProcess helper({kAppendHelper, target, pipe}, dir.file("helper.log"));
    std::ofstream feed(pipe, std::ios::binary);  // opens once the helper reads
    feed << wavBytes(8000, 1, tone(8000, 1, 1209.0, 2.0), 0);  // data size 0: up to the end
    feed.flush();
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (TempDir::readFile(target).size() <= before.size() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_GT(TempDir::readFile(target).size(), before.size()) << "the append never wrote";
    helper.signal(SIGKILL);
    ASSERT_TRUE(helper.waitFor(10s));
    feed.close();

    const WavFile afterKill = WavFile::read(target);
    EXPECT_EQ(afterKill.sampleRate, 16000);
    EXPECT_EQ(afterKill.samples, earlier.samples);

    // The next append goes where the header says the samples end.
    writeFile(dir.file("third.wav"), wavBytes(16000, 1, tone(16000, 1, 1477.0, 0.5)));
    ASSERT_EQ(SipWavFile::append(target, dir.file("third.wav")), 8000u);
    const WavFile last = WavFile::read(target);
    ASSERT_EQ(last.samples.size(), 24000u);
    EXPECT_EQ(slice(last.samples, 0, 16000), earlier.samples);
    const ToneDetector detector(16000);
    EXPECT_EQ(detector.blocksWithTone(slice(last.samples, 16000, 24000), 1477.0, 0.9), 10);
    EXPECT_EQ(TempDir::readFile(target).size(), 44u + 48000u);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
