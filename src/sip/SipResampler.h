#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct SpeexResamplerState_;

namespace Tarvent::VirtualChannel {

// Converts a stream of 16-bit mono samples from one sample rate to another
// with a band-limited filter (SpeexDSP's resampler): what lies above the
// lower rate's half is filtered out instead of folding back as aliases or
// images. The output keeps the input's length in time: finish() adds the
// filter's tail. One thread at a time.
class SipResampler {
public:
    // Throws SipError when a rate is not positive or the filter can't be made.
    SipResampler(int fromRate, int toRate);
    ~SipResampler();

    SipResampler(const SipResampler&) = delete;
    SipResampler& operator=(const SipResampler&) = delete;

    // Appends what `frames` input samples give to `out`.
    void process(const std::int16_t* in, std::size_t frames, std::vector<std::int16_t>& out);
    // Appends the samples the filter still holds, so that the whole output
    // is as long as the whole input; no input may follow.
    void finish(std::vector<std::int16_t>& out);

private:
    struct Deleter {
        void operator()(SpeexResamplerState_* state) const;
    };

    void run(const std::int16_t* in, std::size_t frames, std::vector<std::int16_t>& out);

    std::unique_ptr<SpeexResamplerState_, Deleter> state_;
    const std::uint64_t fromRate_;
    const std::uint64_t toRate_;
    std::uint64_t framesIn_ = 0;
    std::uint64_t framesOut_ = 0;
};

}  // namespace Tarvent::VirtualChannel
