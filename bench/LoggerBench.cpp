#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "logging/FileAppender.h"
#include "logging/Logger.h"

namespace Tarvent::VirtualChannel {
namespace {

// Lines per second from one thread through the Logger into a FileAppender:
// each line written to the file before the call returns (argument 0), or
// handed to the writer thread as in the engine (argument 1; the lines still
// queued at the end are written when the appender goes, outside the timing).
void loggerToFile(benchmark::State& state)
{
    std::string folder = (std::filesystem::temp_directory_path() / "ovra-bench-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    FileAppenderConfig config;
    config.directory = folder + "/log";
    config.fileName = "ovra";
    config.maxFileSize = 10485760;
    config.maxFileCount = 2;
    config.writeBehind = state.range(0) != 0;
    Logger::instance().addAppender(std::make_unique<FileAppender>(config));

    int i = 0;
    for (auto _ : state) {
        logInfo("Received message DialAction: messageId=%d; callId=%d; number=\"%s\"", i, i % 7, "+4930123456");
        ++i;
    }
    state.SetItemsProcessed(state.iterations());

    Logger::instance().removeAllAppenders();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}
BENCHMARK(loggerToFile)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

}  // namespace
}  // namespace Tarvent::VirtualChannel

BENCHMARK_MAIN();
