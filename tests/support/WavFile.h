#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Tarvent::VirtualChannel::TestSupport {

// Reads and makes 16-bit PCM WAV files for audio checks. Any thread.
class WavFile {
public:
    // Reads a 16-bit PCM WAV; stereo is mixed down to mono. Throws
    // std::runtime_error for anything else or a truncated file.
    static WavFile read(const std::string& path);
    // Writes a mono 16-bit tone (sox) of `seconds` at `frequencyHz` with the
    // peak `amplitude` (a share of full scale; 0.5 is -6 dBFS).
    static void makeTone(const std::string& path, int sampleRate, double frequencyHz, double seconds,
                         double amplitude = 0.5);

    int sampleRate = 0;
    int channels = 0;  // of the file; `samples` is always mono
    std::vector<std::int16_t> samples;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
