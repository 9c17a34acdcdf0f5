#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Tarvent::VirtualChannel::TestSupport {

// Fuzzes a running engine over its channel: a few lanes stream fuzzed
// packets side by side, a chaos client opens and wrecks short connections
// meanwhile, and now and then a burst of many lanes connects at once (the
// chaos waits during a burst, so that the burst stays within the engine's
// connection limit). Stops everything at the first failure. Every stream of
// random choices comes from the run's seed, so a seed replays what each
// connection sent (not how the engine interleaved them).
// Test thread only; runs its connections on threads of its own.
class LiveFuzzer {
public:
    struct Options {
        int port = 0;
        std::uint64_t seed = 0;
        long packets = 100000;  // at least this many, all connections together
        int lanes = 4;
        int burstConnections = 50;
        long burstPacketsEach = 100;
        long packetsPerBurst = 100000;  // one burst per this many packets, at least one
        std::chrono::milliseconds answerTimeout{60000};
        std::vector<std::string> soundFiles;
    };

    struct Report {
        long packets = 0;
        long answers = 0;
        long engineCommands = 0;
        long chaosConnections = 0;
        long burstConnections = 0;
        std::map<int, long> cases;  // by one-of field number, 0 for raw bytes
        std::map<std::string, long> chaosKinds;
        std::vector<std::string> failures;
        std::chrono::milliseconds elapsed{0};

        std::string summary() const;
    };

    explicit LiveFuzzer(Options options);

    Report run();

    // LIVE_FUZZ_SEED when set, else a fresh one; LIVE_FUZZ_PACKETS when set, else `fallback`.
    static std::uint64_t seedFromEnvironment();
    static long packetsFromEnvironment(long fallback);

private:
    const Options options_;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
