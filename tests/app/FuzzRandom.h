#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace Tarvent::VirtualChannel::TestSupport {

// The fuzzer's source of hostile values: a seeded generator (the same seed
// gives the same values) with the numbers, texts and byte strings that tend
// to break parsers and the code behind them. One thread at a time; give
// each thread its own, seeded from the run's seed and the thread's number.
class FuzzRandom {
public:
    explicit FuzzRandom(std::uint64_t seed) : engine_(seed) {}

    // Mixes a run's seed with a stream number into the seed of one stream.
    static std::uint64_t streamSeed(std::uint64_t runSeed, std::uint64_t stream);

    // Uniform in [0, bound); 0 for a bound of 0.
    std::uint64_t below(std::uint64_t bound);
    // Uniform in [low, high].
    std::int64_t between(std::int64_t low, std::int64_t high);
    // Uniform in [0, 1).
    double unit();
    // True with the given probability.
    bool chance(double probability);
    std::uint64_t bits() { return engine_(); }

    // Edges (0, ±1, the type's limits and their neighbours, powers of two),
    // small counts and arbitrary values, mixed.
    std::int32_t int32();
    std::int64_t int64();
    std::uint32_t uint32();
    std::uint64_t uint64();
    // Zero, ±0, ±infinity, NaN, the limits, denormals, plausible levels and
    // arbitrary bit patterns.
    float float32();
    double float64();

    // A text of one of many kinds: empty, short words, digits, host names
    // and addresses, SIP URIs, huge, invalid UTF-8, control characters,
    // format directives, paths; at most `maxSize` bytes.
    std::string text(std::size_t maxSize);
    // Arbitrary bytes, up to `maxSize`.
    std::string bytes(std::size_t maxSize);
    // `data` damaged: bits flipped, cut, bytes inserted or overwritten,
    // varints stretched, fields appended; at most `maxSize` bytes.
    std::string mutate(std::string data, std::size_t maxSize);

    template <typename T>
    const T& pick(const std::vector<T>& choices)
    {
        return choices[static_cast<std::size_t>(below(choices.size()))];
    }

private:
    std::string invalidUtf8(std::size_t size);
    std::string printable(std::size_t size);

    std::mt19937_64 engine_;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
