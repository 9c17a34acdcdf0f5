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
    // Number of blocks in which the tone holds at least `minRatio` of the energy
    // and the block is not silent.
    int blocksWithTone(const std::vector<std::int16_t>& samples, double frequencyHz, double minRatio = 0.5) const;
    // Root mean square of all samples (0 for silence).
    static double rms(const std::vector<std::int16_t>& samples);

private:
    int sampleRate_;
    std::size_t window_;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
