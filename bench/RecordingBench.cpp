#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sip/SipWavFile.h"

namespace Tarvent::VirtualChannel {
namespace {

// A PCMU call's recording piece: `seconds` of an 8 kHz mono tone, as the
// library writes it.
void writeSegment(const std::string& path, int seconds)
{
    const std::uint32_t bytes = static_cast<std::uint32_t>(seconds) * 8000u * 2u;
    std::string out = "RIFF";
    const auto put32 = [&out](std::uint32_t value) {
        for (int shift = 0; shift < 32; shift += 8) {
            out += static_cast<char>((value >> shift) & 0xFFu);
        }
    };
    const auto put16 = [&out](std::uint16_t value) {
        out += static_cast<char>(value & 0xFFu);
        out += static_cast<char>(value >> 8);
    };
    put32(36 + bytes);
    out += "WAVEfmt ";
    put32(16);
    put16(1);
    put16(1);
    put32(8000);
    put32(16000);
    put16(2);
    put16(16);
    out += "data";
    put32(bytes);
    out.reserve(out.size() + bytes);
    for (std::uint32_t i = 0; i < bytes / 2; ++i) {
        put16(static_cast<std::uint16_t>(static_cast<std::int16_t>(8000.0 * std::sin(i * 0.55))));
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc) << out;
}

std::string makeFolder()
{
    std::string folder = (std::filesystem::temp_directory_path() / "ovra-bench-XXXXXX").string();
    return ::mkdtemp(folder.data()) == nullptr ? std::string() : folder;
}

// One recorder stop: a one-second piece appended to a recording that holds
// `range(0)` minutes already (16 kHz). The goal: the same time whatever the
// recording holds (an append writes only the new samples).
void appendSecondToRecording(benchmark::State& state)
{
    const std::string folder = makeFolder();
    if (folder.empty()) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    const std::string target = folder + "/record1.wav";
    SipWavFile::createEmpty(target);
    if (state.range(0) > 0) {
        writeSegment(folder + "/long.wav", static_cast<int>(state.range(0)) * 60);
        SipWavFile::append(target, folder + "/long.wav");
    }
    writeSegment(folder + "/second.wav", 1);
    for (auto _ : state) {
        SipWavFile::append(target, folder + "/second.wav");
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}
BENCHMARK(appendSecondToRecording)->Arg(0)->Arg(60)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The stop of an hour-long recording of a PCMU call: the hour at 8 kHz
// (57.6 MB) converted to 16 kHz and appended, on the recorder's own thread.
void appendHourOfPcmuCall(benchmark::State& state)
{
    const std::string folder = makeFolder();
    if (folder.empty()) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    writeSegment(folder + "/hour.wav", 3600);
    for (auto _ : state) {
        SipWavFile::createEmpty(folder + "/record1.wav");
        SipWavFile::append(folder + "/record1.wav", folder + "/hour.wav");
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}
BENCHMARK(appendHourOfPcmuCall)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace Tarvent::VirtualChannel

BENCHMARK_MAIN();
