#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace Tarvent::VirtualChannel {

class RandomAccessFile;

// 16-bit PCM WAV files as the recorders write them: created without samples,
// then grown in place by the recordings appended to them. An append writes
// only the new samples after the old ones, flushes them to the disk, and
// only then puts the new sizes into the header, so the header always
// describes samples that are on the disk: a process killed or a disk filled
// up in the middle of an append leaves the earlier samples as they were
// (and the next append writes over the unaccounted rest).
// Any thread; one writer per file at a time.
class SipWavFile {
public:
    struct Format {
        int sampleRate = 16000;
        int channels = 1;
    };

    // Gives up to `size` bytes of a WAV file, in order, into `data`; returns
    // how many, 0 only at its end. Throws SipError when it can't read.
    using Reader = std::function<std::size_t(char* data, std::size_t size)>;

    // Reads `file` in order from its start, by position, so that several
    // readers may read one file at once. `file` must outlive the reader;
    // `name` names it in errors.
    static Reader readerOf(const RandomAccessFile& file, const std::string& name);

    // The format of a 16-bit PCM WAV file. Throws SipError when `path` can't
    // be read or is no such file.
    static Format readFormat(const std::string& path);

    // Creates or empties `path` as a file of `format` without samples, on
    // the disk when it returns. Throws SipError when it can't be written.
    static void createEmpty(const std::string& path, Format format);
    // The same as a 16 kHz mono file.
    static void createEmpty(const std::string& path);

    // Appends the samples of the 16-bit PCM WAV file that `segment` reads
    // (read once, from its start; a data size of 0 in its header means up to
    // its end) to the file at `path`, converted to that file's format:
    // channels mixed, the rate changed by SipResampler. The data chunk must
    // be the last chunk of `path`. Returns the number of sample frames
    // appended; 0 leaves the file untouched. Throws SipError when either file
    // can't be read or written, `segment` is not 16-bit PCM, or the file
    // would outgrow what a WAV header can count; the file then still holds
    // what it held before.
    static std::size_t append(const std::string& path, const Reader& segment);
    // The same with the WAV file at `segmentPath` (a pipe will do).
    static std::size_t append(const std::string& path, const std::string& segmentPath);
};

}  // namespace Tarvent::VirtualChannel
