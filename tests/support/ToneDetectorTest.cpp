#include "support/ToneDetector.h"

#include <gtest/gtest.h>

#include "support/TempDir.h"
#include "support/WavFile.h"

namespace Tarvent::VirtualChannel::TestSupport {
namespace {

TEST(ToneDetectorTest, FindsTheToneSoxMadeAndNoOther)
{
    TempDir dir;
    WavFile::makeTone(dir.file("tone.wav"), 8000, 697.0, 1.0);
    const WavFile wav = WavFile::read(dir.file("tone.wav"));
    EXPECT_EQ(wav.sampleRate, 8000);
    EXPECT_EQ(wav.channels, 1);
    ASSERT_EQ(wav.samples.size(), 8000u);

    const ToneDetector detector(8000);
    EXPECT_EQ(detector.blocksWithTone(wav.samples, 697.0), 20);
    EXPECT_EQ(detector.blocksWithTone(wav.samples, 1209.0), 0);
    EXPECT_GT(ToneDetector::rms(wav.samples), 10000.0);
    EXPECT_EQ(detector.blocksWithTone(std::vector<std::int16_t>(8000, 0), 697.0), 0);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel::TestSupport
