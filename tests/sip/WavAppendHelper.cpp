// Appends one WAV file (or pipe) to a recording in a process of its own, so
// that a test can kill the append halfway.
#include <cstdio>

#include "sip/SipError.h"
#include "sip/SipWavFile.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <recording.wav> <segment.wav>\n", argv[0]);
        return 2;
    }
    try {
        const std::size_t frames = Tarvent::VirtualChannel::SipWavFile::append(argv[1], argv[2]);
        std::printf("appended %zu frames\n", frames);
        return 0;
    } catch (const Tarvent::VirtualChannel::SipError& error) {
        std::fprintf(stderr, "%s\n", error.info().c_str());
        return 1;
    }
}
