#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "logging/FileAppender.h"
#include "logging/Logger.h"

namespace Tarvent::VirtualChannel {
namespace {

// Lines per second from one thread through the Logger into a FileAppender,
// each line flushed to the file as in the engine.
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
BENCHMARK(loggerToFile)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

}  // namespace
}  // namespace Tarvent::VirtualChannel

BENCHMARK_MAIN();
