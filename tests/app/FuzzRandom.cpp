#include "app/FuzzRandom.h"

#include <cstring>
#include <limits>

namespace Tarvent::VirtualChannel::TestSupport {

namespace {

template <typename To, typename From>
To bitCast(From from)
{
    static_assert(sizeof(To) == sizeof(From), "sizes differ");
    To to;
    std::memcpy(&to, &from, sizeof(to));
    return to;
}

template <typename T>
T edge(FuzzRandom& random)
{
    using Limits = std::numeric_limits<T>;
    const std::vector<T> edges = {
        T(0),
        T(1),
        static_cast<T>(-1),
        Limits::min(),
        Limits::max(),
        static_cast<T>(Limits::min() + 1),
        static_cast<T>(Limits::max() - 1),
        static_cast<T>(Limits::max() / 2 + 1),
        T(127),
        T(128),
        T(255),
        T(256),
        T(65535),
        T(65536),
        static_cast<T>(-2),
    };
    return random.pick(edges);
}

// An edge, a small count (a few negative when signed) or any value.
template <typename T>
T integer(FuzzRandom& random)
{
    switch (random.below(4)) {
    case 0:
        return edge<T>(random);
    case 1:
        return std::numeric_limits<T>::is_signed ? static_cast<T>(random.between(-3, 12))
                                                 : static_cast<T>(random.below(12));
    default:
        return static_cast<T>(random.bits());
    }
}

// Pieces that the SIP layer and the logs treat specially.
const std::vector<std::string>& hostileTexts()
{
    static const std::vector<std::string> texts = {
        "",
        " ",
        "%s%s%s%s%n%n%x%p",
        "%llu%99999999d",
        "\r\nVia: SIP/2.0/UDP 127.0.0.1\r\n\r\n",
        "a\nb",
        std::string("nul\0inside", 10),
        std::string(1, '\0'),
        "\x7f\x1b" "[31m",
        "sip:",
        "sip:@",
        "sip:alice@",
        "sip:alice@127.0.0.1",
        "sip:alice@127.0.0.1:5060;transport=tcp",
        "sips:bob@[::1]:5061",
        "tel:+4930123456",
        "<sip:a@b>;tag=1",
        "\"Name\" <sip:c@127.0.0.1>",
        "127.0.0.1",
        "127.0.0.1:1",
        "127.0.0.1:99999",
        "localhost",
        "[::1]",
        "::1",
        "0.0.0.0",
        "255.255.255.255",
        "unresolvable.invalid",
        "no-such-host.example",
        "udp",
        "tcp",
        "tls",
        "UDP",
        "sctp",
        "PCMU",
        "PCMA",
        "opus",
        "G729",
        "speex",
        "telephone-event",
        "0123456789*#",
        "#",
        "*",
        "A",
        "+4930123456789",
        "../../../../etc/passwd",
        "/etc/passwd",
        "..",
        ".",
        "ring.wav",
        "C:\\Windows\\win.ini",
        "\xef\xbb\xbf" "BOM",
        "Gr\xc3\xbc\xc3\x9f" "e",
        "\xf0\x9f\x93\x9e",
        "\xc0\x80",
        "\xed\xa0\x80",
        "\xf4\x90\x80\x80",
        "\xff\xfe",
    };
    return texts;
}

}  // namespace

std::uint64_t FuzzRandom::streamSeed(std::uint64_t runSeed, std::uint64_t stream)
{
    // splitmix64 of the pair: neighbouring streams get unrelated seeds.
    std::uint64_t z = runSeed + 0x9e3779b97f4a7c15ULL * (stream + 1);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::uint64_t FuzzRandom::below(std::uint64_t bound)
{
    return bound == 0 ? 0 : std::uniform_int_distribution<std::uint64_t>(0, bound - 1)(engine_);
}

std::int64_t FuzzRandom::between(std::int64_t low, std::int64_t high)
{
    return std::uniform_int_distribution<std::int64_t>(low, high)(engine_);
}

double FuzzRandom::unit()
{
    return std::uniform_real_distribution<double>(0.0, 1.0)(engine_);
}

bool FuzzRandom::chance(double probability)
{
    return unit() < probability;
}

std::int32_t FuzzRandom::int32()
{
    return integer<std::int32_t>(*this);
}

std::int64_t FuzzRandom::int64()
{
    return integer<std::int64_t>(*this);
}

std::uint32_t FuzzRandom::uint32()
{
    return integer<std::uint32_t>(*this);
}

std::uint64_t FuzzRandom::uint64()
{
    return integer<std::uint64_t>(*this);
}

float FuzzRandom::float32()
{
    using Limits = std::numeric_limits<float>;
    const std::vector<float> edges = {0.0f,
                                      -0.0f,
                                      1.0f,
                                      -1.0f,
                                      0.5f,
                                      2.0f,
                                      10.0f,
                                      100.0f,
                                      -100.0f,
                                      Limits::quiet_NaN(),
                                      -Limits::quiet_NaN(),
                                      Limits::infinity(),
                                      -Limits::infinity(),
                                      Limits::max(),
                                      -Limits::max(),
                                      Limits::min(),
                                      Limits::denorm_min(),
                                      Limits::epsilon(),
                                      2147483648.0f,
                                      -2147483904.0f};
    switch (below(3)) {
    case 0:
        return pick(edges);
    case 1:
        return static_cast<float>(std::uniform_real_distribution<double>(-2.0, 4.0)(engine_));
    default:
        return bitCast<float>(static_cast<std::uint32_t>(bits()));
    }
}

double FuzzRandom::float64()
{
    using Limits = std::numeric_limits<double>;
    const std::vector<double> edges = {0.0,          -0.0,           1.0,           -1.0,          Limits::quiet_NaN(),
                                       Limits::infinity(), -Limits::infinity(), Limits::max(), Limits::lowest(),
                                       Limits::min(), Limits::denorm_min(), 9.3e18,        -9.3e18};
    switch (below(3)) {
    case 0:
        return pick(edges);
    case 1:
        return std::uniform_real_distribution<double>(-2.0, 4.0)(engine_);
    default:
        return bitCast<double>(bits());
    }
}

std::string FuzzRandom::printable(std::size_t size)
{
    std::string text(size, ' ');
    for (auto& c : text) {
        c = static_cast<char>(between(0x20, 0x7e));
    }
    return text;
}

std::string FuzzRandom::invalidUtf8(std::size_t size)
{
    static const std::vector<std::string> broken = {
        "\x80", "\xbf", "\xc0\xaf", "\xc3", "\xe2\x82", "\xf0\x9f\x98", "\xf8\x88\x80\x80\x80",
        "\xfe", "\xff", "\xed\xb0\x80", "\xe0\x80\xaf", "\xf4\x90\x80\x80",
    };
    std::string text;
    while (text.size() < size) {
        text += chance(0.5) ? pick(broken) : printable(static_cast<std::size_t>(between(0, 4)));
    }
    text.resize(size);
    return text;
}

std::string FuzzRandom::text(std::size_t maxSize)
{
    auto size = [&](std::size_t typical) { return static_cast<std::size_t>(below(std::min(typical, maxSize) + 1)); };
    std::string result;
    switch (below(12)) {
    case 0:
        result = pick(hostileTexts());
        break;
    case 1:
    case 2:
        result = printable(size(24));
        break;
    case 3: {
        result.resize(size(20));
        for (auto& c : result) {
            c = static_cast<char>('0' + below(10));
        }
        break;
    }
    case 4:
        result = "sip:" + printable(size(12)) + "@" + pick(hostileTexts());
        break;
    case 5:
        // Long enough to reach every buffer and limit a SIP header has.
        result = std::string(size(maxSize), static_cast<char>(between('a', 'z')));
        break;
    case 6:
        result = printable(size(maxSize));
        break;
    case 7:
        result = invalidUtf8(size(64));
        break;
    case 8: {
        result = printable(size(16));
        const std::vector<std::string> controls = {"\r\n", "\n", "\r", std::string(1, '\0'), "\t", "\x01", "\x7f"};
        result.insert(below(result.size() + 1), pick(controls));
        break;
    }
    case 9:
        result = bytes(size(64));
        break;
    case 10: {
        // Labels of a host name nobody can resolve.
        const std::size_t labels = static_cast<std::size_t>(between(1, 4));
        for (std::size_t i = 0; i < labels; ++i) {
            result += printable(static_cast<std::size_t>(between(1, 10))) + ".";
        }
        result += "invalid";
        break;
    }
    default:
        result = pick(hostileTexts()) + printable(size(8)) + pick(hostileTexts());
        break;
    }
    if (result.size() > maxSize) {
        result.resize(maxSize);
    }
    return result;
}

std::string FuzzRandom::bytes(std::size_t maxSize)
{
    std::string result(static_cast<std::size_t>(below(maxSize + 1)), '\0');
    for (auto& c : result) {
        c = static_cast<char>(bits());
    }
    return result;
}

std::string FuzzRandom::mutate(std::string data, std::size_t maxSize)
{
    const int rounds = static_cast<int>(between(1, 4));
    for (int round = 0; round < rounds; ++round) {
        switch (below(7)) {
        case 0:
            if (!data.empty()) {
                data[below(data.size())] ^= static_cast<char>(1u << below(8));
            }
            break;
        case 1:
            data.resize(below(data.size() + 1));
            break;
        case 2:
            data.insert(below(data.size() + 1), bytes(16));
            break;
        case 3:
            if (!data.empty()) {
                data[below(data.size())] = static_cast<char>(bits());
            }
            break;
        case 4:
            // A varint that never ends within ten bytes.
            data.insert(below(data.size() + 1), std::string(static_cast<std::size_t>(between(1, 12)), '\xff'));
            break;
        case 5: {
            // A field the schema doesn't know, or one it knows with the wrong wire type.
            const auto tag = static_cast<unsigned char>((between(1, 120) << 3) | below(6));
            data += static_cast<char>(tag);
            data += bytes(8);
            break;
        }
        default:
            // A length-delimited field whose length runs past the end.
            data += '\x1a';
            data += static_cast<char>(between(0x01, 0x7f));
            break;
        }
    }
    if (data.size() > maxSize) {
        data.resize(maxSize);
    }
    return data;
}

}  // namespace Tarvent::VirtualChannel::TestSupport
