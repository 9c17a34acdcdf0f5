#include "sip/SipWavFile.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>

#include "sip/SipError.h"

namespace Tarvent::VirtualChannel {

namespace {

constexpr std::uint16_t kPcm = 1;
constexpr std::uint16_t kExtensible = 0xFFFE;
constexpr std::size_t kCanonicalHeaderBytes = 44;

struct Header {
    SipWavFile::Format format;
    std::size_t dataOffset = 0;
    std::size_t dataBytes = 0;
};

std::uint32_t readU32(const std::string& bytes, std::size_t at)
{
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
}

std::uint16_t readU16(const std::string& bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                      static_cast<unsigned char>(bytes[at + 1]) << 8);
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
    out += static_cast<char>((value >> 8) & 0xFFu);
}

[[noreturn]] void fail(const std::string& path, const std::string& what)
{
    OVRA_THROW_SIP_ERROR(-1, "SipWavFile", what + ": file=\"" + path + "\"");
}

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fail(path, "Failed to open WAV file");
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Enough of the start of a file for the chunks before the samples.
std::string readStart(const std::string& path)
{
    constexpr std::size_t kHeaderLimit = 64 * 1024;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fail(path, "Failed to open WAV file");
    }
    std::string bytes(kHeaderLimit, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

// Walks the chunks; a data chunk whose size was never written (a recording
// cut short) counts up to the end of the file.
Header parseHeader(const std::string& bytes, const std::string& path)
{
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) {
        fail(path, "Not a WAV file");
    }
    Header header;
    bool haveFormat = false;
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const std::string id = bytes.substr(at, 4);
        const std::size_t size = readU32(bytes, at + 4);
        const std::size_t body = at + 8;
        if (id == "fmt " && size >= 16 && body + 16 <= bytes.size()) {
            const std::uint16_t encoding = readU16(bytes, body);
            const std::uint16_t bits = readU16(bytes, body + 14);
            if ((encoding != kPcm && encoding != kExtensible) || bits != 16) {
                fail(path, "Not a 16-bit PCM WAV file");
            }
            header.format.channels = readU16(bytes, body + 2);
            header.format.sampleRate = static_cast<int>(readU32(bytes, body + 4));
            if (header.format.channels <= 0 || header.format.sampleRate <= 0) {
                fail(path, "Invalid WAV format");
            }
            haveFormat = true;
        } else if (id == "data") {
            if (!haveFormat) {
                fail(path, "WAV data before its format");
            }
            header.dataOffset = body;
            const std::size_t available = bytes.size() - body;
            header.dataBytes = size == 0 ? available : std::min(size, available);
            header.dataBytes -= header.dataBytes % (2 * static_cast<std::size_t>(header.format.channels));
            return header;
        }
        at = body + size + (size & 1u);
    }
    fail(path, "WAV file without data");
}

std::string canonicalHeader(SipWavFile::Format format, std::size_t dataBytes)
{
    const auto channels = static_cast<std::uint16_t>(format.channels);
    const auto rate = static_cast<std::uint32_t>(format.sampleRate);
    std::string out = "RIFF";
    putU32(out, static_cast<std::uint32_t>(kCanonicalHeaderBytes - 8 + dataBytes));
    out += "WAVEfmt ";
    putU32(out, 16);
    putU16(out, kPcm);
    putU16(out, channels);
    putU32(out, rate);
    putU32(out, rate * channels * 2u);
    putU16(out, static_cast<std::uint16_t>(channels * 2u));
    putU16(out, 16);
    out += "data";
    putU32(out, static_cast<std::uint32_t>(dataBytes));
    return out;
}

std::string sampleBytes(const std::vector<std::int16_t>& samples)
{
    std::string out;
    out.reserve(samples.size() * 2);
    for (const std::int16_t sample : samples) {
        putU16(out, static_cast<std::uint16_t>(sample));
    }
    return out;
}

}  // namespace

SipWavFile::Format SipWavFile::readFormat(const std::string& path)
{
    return parseHeader(readStart(path), path).format;
}

SipWavFile::Contents SipWavFile::read(const std::string& path)
{
    const std::string bytes = readAll(path);
    const Header header = parseHeader(bytes, path);
    Contents contents;
    contents.format = header.format;
    contents.samples.resize(header.dataBytes / 2);
    for (std::size_t i = 0; i < contents.samples.size(); ++i) {
        contents.samples[i] = static_cast<std::int16_t>(readU16(bytes, header.dataOffset + 2 * i));
    }
    return contents;
}

void SipWavFile::write(const std::string& path, const Contents& contents)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << canonicalHeader(contents.format, contents.samples.size() * 2) << sampleBytes(contents.samples);
    out.flush();
    if (!out) {
        fail(path, "Failed to write WAV file");
    }
}

void SipWavFile::createEmpty(const std::string& path)
{
    write(path, Contents{});
}

std::vector<std::int16_t> SipWavFile::convert(const std::vector<std::int16_t>& samples, Format from, Format to)
{
    if (from.channels == to.channels && from.sampleRate == to.sampleRate) {
        return samples;
    }
    // Mix down to mono, interpolate to the new rate, spread over the channels.
    const std::size_t frames = samples.size() / static_cast<std::size_t>(from.channels);
    std::vector<double> mono(frames);
    for (std::size_t frame = 0; frame < frames; ++frame) {
        double sum = 0.0;
        for (int channel = 0; channel < from.channels; ++channel) {
            sum += samples[frame * static_cast<std::size_t>(from.channels) + static_cast<std::size_t>(channel)];
        }
        mono[frame] = sum / from.channels;
    }
    const double step = static_cast<double>(from.sampleRate) / to.sampleRate;
    const auto outFrames = static_cast<std::size_t>(std::floor(static_cast<double>(frames) / step));
    std::vector<std::int16_t> out;
    out.reserve(outFrames * static_cast<std::size_t>(to.channels));
    for (std::size_t frame = 0; frame < outFrames; ++frame) {
        const double position = static_cast<double>(frame) * step;
        const auto left = static_cast<std::size_t>(position);
        const std::size_t right = std::min(left + 1, frames - 1);
        const double fraction = position - static_cast<double>(left);
        const double value = mono[left] + (mono[right] - mono[left]) * fraction;
        const auto sample = static_cast<std::int16_t>(std::lround(std::clamp(value, -32768.0, 32767.0)));
        out.insert(out.end(), static_cast<std::size_t>(to.channels), sample);
    }
    return out;
}

std::size_t SipWavFile::append(const std::string& path, const std::string& segment)
{
    const Contents added = read(segment);
    if (added.samples.empty()) {
        return 0;
    }
    const std::string bytes = readAll(path);
    const Header header = parseHeader(bytes, path);
    if (header.dataBytes == 0) {
        write(path, added);
        return added.samples.size() / static_cast<std::size_t>(added.format.channels);
    }
    const std::vector<std::int16_t> samples = convert(added.samples, added.format, header.format);
    const std::size_t dataBytes = header.dataBytes + samples.size() * 2;
    // Anything after the data chunk is dropped: the file ends with its samples.
    std::string head = bytes.substr(0, header.dataOffset);
    std::string riffSize;
    putU32(riffSize, static_cast<std::uint32_t>(header.dataOffset - 8 + dataBytes));
    head.replace(4, 4, riffSize);
    std::string dataSize;
    putU32(dataSize, static_cast<std::uint32_t>(dataBytes));
    head.replace(header.dataOffset - 4, 4, dataSize);

    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << head;
    out.write(bytes.data() + header.dataOffset, static_cast<std::streamsize>(header.dataBytes));
    out << sampleBytes(samples);
    out.flush();
    if (!out) {
        fail(path, "Failed to write WAV file");
    }
    return samples.size() / static_cast<std::size_t>(header.format.channels);
}

}  // namespace Tarvent::VirtualChannel
