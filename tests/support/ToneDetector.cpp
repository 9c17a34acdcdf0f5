#include "support/ToneDetector.h"

#include <algorithm>
#include <cmath>

namespace Tarvent::VirtualChannel::TestSupport {

namespace {
constexpr double kSilenceRms = 100.0;  // about -50 dBFS
constexpr double kPi = 3.14159265358979323846;
}  // namespace

ToneDetector::ToneDetector(int sampleRate, int windowMs)
    : sampleRate_(sampleRate), window_(static_cast<std::size_t>(sampleRate) * static_cast<std::size_t>(windowMs) / 1000)
{
}

void ToneDetector::measure(const std::vector<std::int16_t>& samples, std::size_t offset, double frequencyHz,
                           double& power, double& energy) const
{
    const double coeff = 2.0 * std::cos(2.0 * kPi * frequencyHz / sampleRate_);
    double s1 = 0.0;
    double s2 = 0.0;
    energy = 0.0;
    for (std::size_t i = 0; i < window_; ++i) {
        const double x = samples[offset + i];
        energy += x * x;
        const double s0 = x + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
}

double ToneDetector::toneRatio(const std::vector<std::int16_t>& samples, std::size_t offset, double frequencyHz) const
{
    if (offset + window_ > samples.size() || window_ == 0) {
        return 0.0;
    }
    double power = 0.0;
    double energy = 0.0;
    measure(samples, offset, frequencyHz, power, energy);
    if (energy <= 0.0) {
        return 0.0;
    }
    // A full-scale sine of N samples gives power N^2 A^2 / 4 and energy N A^2 / 2.
    return power / (energy * static_cast<double>(window_) / 2.0);
}

double ToneDetector::toneAmplitude(const std::vector<std::int16_t>& samples, std::size_t offset,
                                   double frequencyHz) const
{
    if (offset + window_ > samples.size() || window_ == 0) {
        return 0.0;
    }
    double power = 0.0;
    double energy = 0.0;
    measure(samples, offset, frequencyHz, power, energy);
    return 2.0 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(window_);
}

double ToneDetector::typicalAmplitude(const std::vector<std::int16_t>& samples, double frequencyHz) const
{
    std::vector<double> amplitudes;
    constexpr int kSteps = 10;           // each way
    constexpr double kStepShare = 0.005;  // of the frequency
    for (std::size_t offset = 0; window_ > 0 && offset + window_ <= samples.size(); offset += window_) {
        double strongest = 0.0;
        for (int step = -kSteps; step <= kSteps; ++step) {
            strongest = std::max(strongest, toneAmplitude(samples, offset, frequencyHz * (1.0 + step * kStepShare)));
        }
        amplitudes.push_back(strongest);
    }
    if (amplitudes.empty()) {
        return 0.0;
    }
    const auto quartile = amplitudes.begin() + static_cast<std::ptrdiff_t>(amplitudes.size() * 3 / 4);
    std::nth_element(amplitudes.begin(), quartile, amplitudes.end());
    return *quartile;
}

int ToneDetector::blocksWithTone(const std::vector<std::int16_t>& samples, double frequencyHz, double minRatio) const
{
    int found = 0;
    for (std::size_t offset = 0; window_ > 0 && offset + window_ <= samples.size(); offset += window_) {
        const std::vector<std::int16_t> block(samples.begin() + static_cast<std::ptrdiff_t>(offset),
                                              samples.begin() + static_cast<std::ptrdiff_t>(offset + window_));
        if (rms(block) >= kSilenceRms && toneRatio(samples, offset, frequencyHz) >= minRatio) {
            ++found;
        }
    }
    return found;
}

double ToneDetector::rms(const std::vector<std::int16_t>& samples)
{
    if (samples.empty()) {
        return 0.0;
    }
    double sum = 0.0;
    for (const auto s : samples) {
        sum += static_cast<double>(s) * s;
    }
    return std::sqrt(sum / static_cast<double>(samples.size()));
}

}  // namespace Tarvent::VirtualChannel::TestSupport
