#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Tarvent::VirtualChannel {

// A 16-bit PCM WAV file as a recorder writes it: created without samples,
// then grown by the recordings appended to it. Any thread; one writer per file.
class SipWavFile {
public:
    struct Format {
        int sampleRate = 8000;
        int channels = 1;
    };

    // The format of a 16-bit PCM WAV file. Throws SipError when `path` can't
    // be read or is no such file.
    static Format readFormat(const std::string& path);

    // Creates or empties `path` (8 kHz mono until the first append). Throws
    // SipError when the file can't be written.
    static void createEmpty(const std::string& path);

    // Appends the samples of the 16-bit PCM WAV file `segment` to `path`.
    // The first samples of a file set its format; later ones in another
    // format are converted (channels mixed, sample rate interpolated).
    // Returns the number of sample frames appended. Throws SipError when
    // either file can't be read or written or `segment` is not 16-bit PCM.
    static std::size_t append(const std::string& path, const std::string& segment);

private:
    struct Contents {
        Format format;
        std::vector<std::int16_t> samples;  // interleaved
    };

    static Contents read(const std::string& path);
    static void write(const std::string& path, const Contents& contents);
    static std::vector<std::int16_t> convert(const std::vector<std::int16_t>& samples, Format from, Format to);
};

}  // namespace Tarvent::VirtualChannel
