#include "sip/SipWavFile.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <system_error>
#include <vector>

#include "platform/RandomAccessFile.h"
#include "sip/SipError.h"
#include "sip/SipResampler.h"

namespace Tarvent::VirtualChannel {

namespace {

constexpr std::uint16_t kPcm = 1;
constexpr std::uint16_t kExtensible = 0xFFFE;
constexpr std::uint32_t kFormatBytes = 16;
constexpr std::size_t kChunkFrames = 4096;
// The RIFF size field counts everything after itself in 32 bits.
constexpr std::uint64_t kMaxRiffSize = std::numeric_limits<std::uint32_t>::max();

struct Header {
    SipWavFile::Format format;
    std::uint64_t dataOffset = 0;  // where the samples start
    std::uint64_t dataBytes = 0;   // as the header counts them
};

[[noreturn]] void fail(const std::string& path, const std::string& what, int error = 0)
{
    std::string reason = what + ": file=\"" + path + "\"";
    if (error != 0) {
        reason += "; error=\"" + std::generic_category().message(error) + "\"";
    }
    OVRA_THROW_SIP_ERROR(error != 0 ? error : -1, "SipWavFile", reason);
}

std::uint32_t getU32(const char* bytes)
{
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

std::uint16_t getU16(const char* bytes)
{
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    return static_cast<std::uint16_t>(b[0] | b[1] << 8);
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

// As many of `size` bytes as the reader has; fewer only at its end.
std::size_t readFully(const SipWavFile::Reader& read, char* data, std::size_t size)
{
    std::size_t got = 0;
    while (got < size) {
        const std::size_t count = read(data + got, size - got);
        if (count == 0) {
            break;
        }
        got += count;
    }
    return got;
}

void skip(const SipWavFile::Reader& read, std::uint64_t bytes, const std::string& name)
{
    char buffer[4096];
    while (bytes > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, sizeof buffer));
        if (readFully(read, buffer, want) != want) {
            fail(name, "WAV file without data");
        }
        bytes -= want;
    }
}

// Walks the chunks up to the start of the samples, reading in order only,
// so that a pipe serves as well as a file.
Header readHeader(const SipWavFile::Reader& read, const std::string& name)
{
    char riff[12];
    if (readFully(read, riff, sizeof riff) != sizeof riff || std::string(riff, 4) != "RIFF" ||
        std::string(riff + 8, 4) != "WAVE") {
        fail(name, "Not a WAV file");
    }
    Header header;
    bool haveFormat = false;
    std::uint64_t position = sizeof riff;
    for (;;) {
        char chunk[8];
        if (readFully(read, chunk, sizeof chunk) != sizeof chunk) {
            fail(name, "WAV file without data");
        }
        position += sizeof chunk;
        const std::string id(chunk, 4);
        const std::uint64_t size = getU32(chunk + 4);
        if (id == "data") {
            if (!haveFormat) {
                fail(name, "WAV data before its format");
            }
            header.dataOffset = position;
            header.dataBytes = size;
            return header;
        }
        const std::uint64_t padded = size + (size & 1u);
        if (id == "fmt ") {
            char body[kFormatBytes];
            if (size < kFormatBytes || readFully(read, body, sizeof body) != sizeof body) {
                fail(name, "Invalid WAV format");
            }
            const std::uint16_t encoding = getU16(body);
            const std::uint16_t bits = getU16(body + 14);
            if ((encoding != kPcm && encoding != kExtensible) || bits != 16) {
                fail(name, "Not a 16-bit PCM WAV file");
            }
            header.format.channels = getU16(body + 2);
            header.format.sampleRate = static_cast<int>(getU32(body + 4));
            if (header.format.channels <= 0 || header.format.sampleRate <= 0) {
                fail(name, "Invalid WAV format");
            }
            haveFormat = true;
            skip(read, padded - sizeof body, name);
        } else {
            skip(read, padded, name);
        }
        position += padded;
    }
}

RandomAccessFile openFile(const std::string& path, RandomAccessFile::Mode mode)
{
    RandomAccessFile file;
    if (const int error = file.open(path, mode)) {
        fail(path, "Failed to open WAV file", error);
    }
    return file;
}

std::string canonicalHeader(SipWavFile::Format format)
{
    const auto channels = static_cast<std::uint16_t>(format.channels);
    const auto rate = static_cast<std::uint32_t>(format.sampleRate);
    std::string out = "RIFF";
    putU32(out, 36);
    out += "WAVEfmt ";
    putU32(out, kFormatBytes);
    putU16(out, kPcm);
    putU16(out, channels);
    putU32(out, rate);
    putU32(out, rate * channels * 2u);
    putU16(out, static_cast<std::uint16_t>(channels * 2u));
    putU16(out, 16);
    out += "data";
    putU32(out, 0);
    return out;
}

// Brings interleaved samples of one format to another: channels mixed to
// one, the rate changed, the one channel copied to every channel.
class Converter {
public:
    Converter(SipWavFile::Format from, SipWavFile::Format to) : from_(from), to_(to)
    {
        if (from.sampleRate != to.sampleRate) {
            resampler_ = std::make_unique<SipResampler>(from.sampleRate, to.sampleRate);
        }
    }

    void add(const std::vector<std::int16_t>& interleaved, std::vector<std::int16_t>& out)
    {
        const auto channels = static_cast<std::size_t>(from_.channels);
        mono_.clear();
        for (std::size_t frame = 0; frame + channels <= interleaved.size(); frame += channels) {
            int sum = 0;
            for (std::size_t channel = 0; channel < channels; ++channel) {
                sum += interleaved[frame + channel];
            }
            mono_.push_back(static_cast<std::int16_t>(sum / static_cast<int>(channels)));
        }
        if (resampler_) {
            resampled_.clear();
            resampler_->process(mono_.data(), mono_.size(), resampled_);
            spread(resampled_, out);
        } else {
            spread(mono_, out);
        }
    }

    void finish(std::vector<std::int16_t>& out)
    {
        if (resampler_) {
            resampled_.clear();
            resampler_->finish(resampled_);
            spread(resampled_, out);
        }
    }

private:
    void spread(const std::vector<std::int16_t>& mono, std::vector<std::int16_t>& out) const
    {
        for (const std::int16_t sample : mono) {
            out.insert(out.end(), static_cast<std::size_t>(to_.channels), sample);
        }
    }

    const SipWavFile::Format from_;
    const SipWavFile::Format to_;
    std::unique_ptr<SipResampler> resampler_;
    std::vector<std::int16_t> mono_;
    std::vector<std::int16_t> resampled_;
};

}  // namespace

SipWavFile::Reader SipWavFile::readerOf(const RandomAccessFile& file, const std::string& name)
{
    return [&file, name, offset = std::uint64_t{0}](char* data, std::size_t size) mutable {
        std::size_t got = 0;
        if (const int error = file.readAt(offset, data, size, got)) {
            fail(name, "Failed to read WAV file", error);
        }
        offset += got;
        return got;
    };
}

SipWavFile::Format SipWavFile::readFormat(const std::string& path)
{
    const RandomAccessFile file = openFile(path, RandomAccessFile::Mode::ReadOnly);
    return readHeader(readerOf(file, path), path).format;
}

void SipWavFile::createEmpty(const std::string& path, Format format)
{
    RandomAccessFile file = openFile(path, RandomAccessFile::Mode::CreateTruncate);
    const std::string header = canonicalHeader(format);
    if (const int error = file.writeAt(0, header.data(), header.size())) {
        fail(path, "Failed to write WAV file", error);
    }
    if (const int error = file.syncData()) {
        fail(path, "Failed to write WAV file", error);
    }
}

void SipWavFile::createEmpty(const std::string& path)
{
    createEmpty(path, Format{});
}

std::size_t SipWavFile::append(const std::string& path, const std::string& segmentPath)
{
    RandomAccessFile segment = openFile(segmentPath, RandomAccessFile::Mode::ReadOnly);
    return append(path, [&segment, &segmentPath](char* data, std::size_t size) {
        std::size_t got = 0;
        if (const int error = segment.read(data, size, got)) {
            fail(segmentPath, "Failed to read WAV file", error);
        }
        return got;
    });
}

std::size_t SipWavFile::append(const std::string& path, const Reader& segment)
{
    const Header in = readHeader(segment, "recording");
    RandomAccessFile file = openFile(path, RandomAccessFile::Mode::ReadWrite);
    const Header out = readHeader(readerOf(file, path), path);
    std::uint64_t fileSize = 0;
    if (const int error = file.size(fileSize)) {
        fail(path, "Failed to read WAV file", error);
    }
    // Only what the header counts is kept: whatever lies beyond it is the
    // unaccounted rest of an append that never finished.
    const auto frameBytes = static_cast<std::uint64_t>(2 * out.format.channels);
    std::uint64_t kept = std::min(out.dataBytes, fileSize > out.dataOffset ? fileSize - out.dataOffset : 0);
    kept -= kept % frameBytes;
    const std::uint64_t start = out.dataOffset + kept;
    std::uint64_t position = start;

    std::string bytes;
    const auto write = [&](std::vector<std::int16_t>& samples) {
        if (samples.empty()) {
            return;
        }
        bytes.clear();
        for (const std::int16_t sample : samples) {
            putU16(bytes, static_cast<std::uint16_t>(sample));
        }
        samples.clear();
        if (position + bytes.size() - 8 > kMaxRiffSize) {
            fail(path, "WAV file full");
        }
        if (const int error = file.writeAt(position, bytes.data(), bytes.size())) {
            fail(path, "Failed to write WAV file", error);
        }
        position += bytes.size();
    };

    Converter converter(in.format, out.format);
    const auto inFrameBytes = static_cast<std::size_t>(2 * in.format.channels);
    std::vector<char> input(kChunkFrames * inFrameBytes);
    std::vector<std::int16_t> samples;
    std::vector<std::int16_t> converted;
    std::size_t held = 0;  // bytes in `input`, a partial frame at most after each round
    std::uint64_t remaining = in.dataBytes == 0 ? std::numeric_limits<std::uint64_t>::max() : in.dataBytes;
    while (remaining > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(input.size() - held, remaining));
        const std::size_t got = segment(input.data() + held, want);
        if (got == 0) {
            break;
        }
        remaining -= got;
        held += got;
        const std::size_t frames = held / inFrameBytes;
        samples.resize(frames * static_cast<std::size_t>(in.format.channels));
        for (std::size_t i = 0; i < samples.size(); ++i) {
            samples[i] = static_cast<std::int16_t>(getU16(input.data() + 2 * i));
        }
        const std::size_t used = frames * inFrameBytes;
        std::copy(input.begin() + static_cast<std::ptrdiff_t>(used),
                  input.begin() + static_cast<std::ptrdiff_t>(held), input.begin());
        held -= used;
        converter.add(samples, converted);
        write(converted);
    }
    converter.finish(converted);
    write(converted);
    if (position == start) {
        return 0;
    }

    // The samples are on the disk before the header counts them.
    if (const int error = file.truncate(position)) {
        fail(path, "Failed to write WAV file", error);
    }
    if (const int error = file.syncData()) {
        fail(path, "Failed to write WAV file", error);
    }
    std::string riffSize;
    putU32(riffSize, static_cast<std::uint32_t>(position - 8));
    std::string dataSize;
    putU32(dataSize, static_cast<std::uint32_t>(position - out.dataOffset));
    int error = file.writeAt(4, riffSize.data(), riffSize.size());
    if (error == 0) {
        error = file.writeAt(out.dataOffset - 4, dataSize.data(), dataSize.size());
    }
    if (error == 0) {
        error = file.syncData();
    }
    if (error != 0) {
        fail(path, "Failed to write WAV file", error);
    }
    return static_cast<std::size_t>((position - start) / frameBytes);
}

}  // namespace Tarvent::VirtualChannel
