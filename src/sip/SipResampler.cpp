#include "sip/SipResampler.h"

#include <algorithm>
#include <string>

#include <speex/speex_resampler.h>

#include "sip/SipError.h"

namespace Tarvent::VirtualChannel {

namespace {

// At quality 6 the image of a 3 kHz tone raised from 8 to 16 kHz lies 99 dB
// below it, and a minute of 8 kHz audio takes about 13 ms (the top quality
// takes seven times as long for nothing more that a voice would show).
constexpr int kQuality = 6;
constexpr std::size_t kChunkFrames = 4096;

}  // namespace

void SipResampler::Deleter::operator()(SpeexResamplerState_* state) const
{
    speex_resampler_destroy(state);
}

SipResampler::SipResampler(int fromRate, int toRate)
    : fromRate_(static_cast<std::uint64_t>(std::max(fromRate, 0))),
      toRate_(static_cast<std::uint64_t>(std::max(toRate, 0)))
{
    if (fromRate <= 0 || toRate <= 0) {
        OVRA_THROW_SIP_ERROR(-1, "SipResampler",
                             "Invalid sample rates: from=" + std::to_string(fromRate) + "; to=" + std::to_string(toRate));
    }
    int error = 0;
    state_.reset(speex_resampler_init(1, static_cast<spx_uint32_t>(fromRate), static_cast<spx_uint32_t>(toRate),
                                      kQuality, &error));
    if (!state_ || error != RESAMPLER_ERR_SUCCESS) {
        OVRA_THROW_SIP_ERROR(error, "speex_resampler_init", speex_resampler_strerror(error));
    }
    // The output starts with the first input sample, not with the filter's delay.
    speex_resampler_skip_zeros(state_.get());
}

SipResampler::~SipResampler() = default;

void SipResampler::run(const std::int16_t* in, std::size_t frames, std::vector<std::int16_t>& out)
{
    while (frames > 0) {
        const std::size_t chunk = std::min(frames, kChunkFrames);
        const std::size_t start = out.size();
        out.resize(start + chunk * toRate_ / fromRate_ + 16);
        spx_uint32_t inLength = static_cast<spx_uint32_t>(chunk);
        spx_uint32_t outLength = static_cast<spx_uint32_t>(out.size() - start);
        speex_resampler_process_int(state_.get(), 0, in, &inLength, out.data() + start, &outLength);
        out.resize(start + outLength);
        if (inLength == 0 && outLength == 0) {
            break;  // cannot happen with room for the output; never spin
        }
        in += inLength;
        frames -= inLength;
        framesOut_ += outLength;
    }
}

void SipResampler::process(const std::int16_t* in, std::size_t frames, std::vector<std::int16_t>& out)
{
    framesIn_ += frames;
    run(in, frames, out);
}

void SipResampler::finish(std::vector<std::int16_t>& out)
{
    const std::uint64_t expected = (framesIn_ * toRate_ + fromRate_ / 2) / fromRate_;
    const std::size_t start = out.size();
    // Silence pushes the last samples out of the filter.
    const std::vector<std::int16_t> silence(static_cast<std::size_t>(speex_resampler_get_input_latency(state_.get())) + 1,
                                            0);
    for (int round = 0; round < 4 && framesOut_ < expected; ++round) {
        run(silence.data(), silence.size(), out);
    }
    const std::uint64_t surplus = framesOut_ > expected ? framesOut_ - expected : 0;
    const std::size_t added = out.size() - start;
    out.resize(out.size() - static_cast<std::size_t>(std::min<std::uint64_t>(surplus, added)));
    framesOut_ -= std::min<std::uint64_t>(surplus, added);
}

}  // namespace Tarvent::VirtualChannel
