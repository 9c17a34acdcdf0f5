#include "support/WavFile.h"

#include <cstring>
#include <stdexcept>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace Tarvent::VirtualChannel::TestSupport {

namespace {

std::uint32_t le32(const std::string& b, std::size_t at)
{
    return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

std::uint16_t le16(const std::string& b, std::size_t at)
{
    return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                      static_cast<unsigned char>(b[at + 1]) << 8);
}

}  // namespace

WavFile WavFile::read(const std::string& path)
{
    const std::string b = TempDir::readFile(path);
    if (b.size() < 12 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "WAVE") != 0) {
        throw std::runtime_error("not a WAV file: " + path);
    }
    WavFile wav;
    int bits = 0;
    std::size_t at = 12;
    while (at + 8 <= b.size()) {
        const std::string id = b.substr(at, 4);
        std::size_t size = le32(b, at + 4);
        const std::size_t body = at + 8;
        if (id == "fmt " && body + 16 <= b.size()) {
            if (le16(b, body) != 1) {
                throw std::runtime_error("not PCM: " + path);
            }
            wav.channels = le16(b, body + 2);
            wav.sampleRate = static_cast<int>(le32(b, body + 4));
            bits = le16(b, body + 14);
        } else if (id == "data") {
            if (bits != 16 || wav.channels < 1) {
                throw std::runtime_error("not 16-bit PCM: " + path);
            }
            // A recorder that was killed may leave the size unset: take what is there.
            if (size == 0 || size > b.size() - body) {
                size = b.size() - body;
            }
            const std::size_t frame = 2u * static_cast<std::size_t>(wav.channels);
            for (std::size_t f = body; f + frame <= body + size; f += frame) {
                int sum = 0;
                for (int c = 0; c < wav.channels; ++c) {
                    sum += static_cast<std::int16_t>(le16(b, f + 2u * static_cast<std::size_t>(c)));
                }
                wav.samples.push_back(static_cast<std::int16_t>(sum / wav.channels));
            }
            return wav;
        }
        at = body + size + (size & 1u);
    }
    throw std::runtime_error("no data chunk: " + path);
}

void WavFile::makeTone(const std::string& path, int sampleRate, double frequencyHz, double seconds, double amplitude)
{
    const auto result = ChildProcess::run({"sox", "-n", "-r", std::to_string(sampleRate), "-c", "1", "-b", "16",
                                           "-e", "signed-integer", path, "synth", std::to_string(seconds), "sine",
                                           std::to_string(frequencyHz), "vol", std::to_string(amplitude)});
    if (result.status != 0) {
        throw std::runtime_error("sox failed: " + result.output);
    }
}

}  // namespace Tarvent::VirtualChannel::TestSupport
