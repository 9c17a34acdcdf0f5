// The live fuzzer in its long form: 1,000,000 fuzzed packets (or
// LIVE_FUZZ_PACKETS) against the engine executable with a PulseAudio server,
// its rate, and whether the engine still answers and holds no more
// descriptors than before. LIVE_FUZZ_SEED replays a run.
// Runs itself inside a loopback-only network namespace (scripts/in-netns).
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <optional>

#include "NetnsReexec.h"
#include "app/LiveFuzzer.h"
#include "support/CitrixTestClient.h"
#include "support/EngineProcess.h"
#include "support/PulseAudioFixture.h"
#include "support/TempDir.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;
using TestSupport::LiveFuzzer;
using Message = Proto::CitrixMessage;

constexpr long kPackets = 1000000;

long descriptorCount(int pid)
{
    long count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

Message stackAction(bool start)
{
    Message message;
    if (start) {
        message.mutable_sipstackstartaction()->set_useragent("ovra-bench");
    } else {
        message.mutable_sipstackstopaction();
    }
    return message;
}

int run()
{
    TestSupport::PulseAudioFixture pulse;
    TestSupport::TempDir dir("ovra-bench");
    TestSupport::EngineProcess engine(OVRA_ENGINE_BINARY, dir.path());
    const std::optional<int> port = engine.waitForPort();
    if (!port) {
        std::fprintf(stderr, "engine did not start:\n%s\n", engine.console().c_str());
        return 1;
    }
    TestSupport::CitrixTestClient client(*port);
    Message start;
    start.mutable_appstartaction()->set_protocolversion(2);
    Message devices;
    devices.mutable_audiodevicemanagercreateaction();
    Message query;
    query.mutable_sipstackstatusquery();
    client.request(start);
    client.request(stackAction(true), 60s);
    client.request(devices);
    // The device refresh's first round connects the process-wide watcher.
    std::this_thread::sleep_for(4s);
    const int pid = engine.process().pid();
    const long before = descriptorCount(pid);

    LiveFuzzer::Options options;
    options.port = *port;
    options.seed = LiveFuzzer::seedFromEnvironment();
    options.packets = LiveFuzzer::packetsFromEnvironment(kPackets);
    for (const auto& entry : std::filesystem::directory_iterator(std::string(OVRA_ENGINE_SOUNDS))) {
        options.soundFiles.push_back(entry.path().filename().string());
    }
    std::printf("seed=%llu; packets=%ld\n", static_cast<unsigned long long>(options.seed), options.packets);
    std::fflush(stdout);
    const LiveFuzzer::Report report = LiveFuzzer(options).run();
    std::printf("%s", report.summary().c_str());

    // A new connection: the first idled through the run, longer than the
    // engine keeps idle connections.
    TestSupport::CitrixTestClient last(*port);
    const bool answered = last.request(stackAction(false), 60s).has_value() && last.request(query, 30s).has_value();
    last.channel().close();
    std::this_thread::sleep_for(2s);
    const long after = descriptorCount(pid);
    std::printf("answersAtEnd=%d; descriptorsBefore=%ld; descriptorsAfter=%ld\n", answered ? 1 : 0, before, after);
    engine.process().signal(SIGTERM);
    const std::optional<int> status = engine.process().waitFor(60s);
    std::printf("exitStatus=%d\n", status ? *status : -1);
    return report.failures.empty() && answered && status == 0 ? 0 : 1;
}

}  // namespace
}  // namespace Tarvent::VirtualChannel

int main(int argc, char** argv)
{
    return Tarvent::VirtualChannel::runBenchInOwnNetwork(argc, argv, "bench_live_fuzz", Tarvent::VirtualChannel::run);
}
