#pragma once

#include <cstdint>
#include <vector>

namespace Tarvent::VirtualChannel::TestSupport {

// Finds a pure tone in 16-bit mono samples with a Goertzel filter.
// Pure functions of their input: any thread.
class ToneDetector {
public:
    // `sampleRate` in Hz; `windowMs` the length of each analysed block.
    explicit ToneDetector(int sampleRate, int windowMs = 50);

    // Share of the block's energy at `frequencyHz` (0..1, about 1 for a pure
    // tone of that frequency), for the block starting at sample `offset`.
    double toneRatio(const std::vector<std::int16_t>& samples, std::size_t offset, double frequencyHz) const;
    // Amplitude (peak, in sample units) of the component at `frequencyHz` in
    // the block starting at sample `offset`; 0 past the end.
    double toneAmplitude(const std::vector<std::int16_t>& samples, std::size_t offset, double frequencyHz) const;
    // The tone's usual level in `samples`: per block the strongest
    // toneAmplitude within 5% of `frequencyHz` (sound paths that drop
    // samples to catch up raise the pitch a little), then the upper quartile
    // over the blocks. A late start or a gap in the audio (a busy machine
    // makes many) only ever lowers a block's figure, so the blocks that
    // played whole decide. 0 for fewer than one block.
    double typicalAmplitude(const std::vector<std::int16_t>& samples, double frequencyHz) const;
    // Number of blocks in which the tone holds at least `minRatio` of the energy
    // and the block is not silent.
    int blocksWithTone(const std::vector<std::int16_t>& samples, double frequencyHz, double minRatio = 0.5) const;
    // Root mean square of all samples (0 for silence).
    static double rms(const std::vector<std::int16_t>& samples);

private:
    // Goertzel power at `frequencyHz` of the block at `offset` and its energy.
    void measure(const std::vector<std::int16_t>& samples, std::size_t offset, double frequencyHz, double& power,
                 double& energy) const;

    int sampleRate_;
    std::size_t window_;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
