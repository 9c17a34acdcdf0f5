#include "app/LiveFuzzer.h"

#include <google/protobuf/stubs/logging.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "app/ChaosClient.h"
#include "app/FuzzLane.h"
#include "app/KnownIds.h"
#include "proto/citrixMessage.pb.h"

namespace Tarvent::VirtualChannel::TestSupport {

namespace {

// Stream numbers of the seeds: lanes from 0, the chaos client, bursts after it.
constexpr std::uint64_t kChaosStream = 999;
constexpr int kFirstBurstLane = 1000;

void collect(const FuzzLane& lane, LiveFuzzer::Report& report)
{
    const FuzzLane::Result& result = lane.result();
    report.packets += result.packets;
    report.answers += result.answers;
    report.engineCommands += result.engineCommands;
    for (const auto& [number, count] : result.cases) {
        report.cases[number] += count;
    }
    if (!result.failure.empty()) {
        report.failures.push_back(result.failure);
    }
}

// The chaos client on a thread of its own, which a burst can pause.
class ChaosRunner {
public:
    explicit ChaosRunner(ChaosClient& client) : client_(client), thread_([this] { loop(); }) {}
    ~ChaosRunner() { finish(); }

    // Returns once no chaos connection is open, and none starts until resume().
    void pause()
    {
        paused_ = true;
        const std::lock_guard<std::mutex> wait(running_);
    }
    void resume() { paused_ = false; }
    void finish()
    {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

private:
    void loop()
    {
        while (!stop_ && client_.result().failure.empty()) {
            {
                const std::lock_guard<std::mutex> lock(running_);
                if (!paused_) {
                    client_.runOne();
                    continue;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    ChaosClient& client_;
    std::atomic<bool> paused_{false};
    std::atomic<bool> stop_{false};
    // Held while a chaos connection is open.
    std::mutex running_;
    std::thread thread_;
};

}  // namespace

LiveFuzzer::LiveFuzzer(Options options) : options_(std::move(options)) {}

std::uint64_t LiveFuzzer::seedFromEnvironment()
{
    if (const char* text = std::getenv("LIVE_FUZZ_SEED"); text != nullptr && *text != '\0') {
        return std::strtoull(text, nullptr, 0);
    }
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) | device();
}

long LiveFuzzer::packetsFromEnvironment(long fallback)
{
    if (const char* text = std::getenv("LIVE_FUZZ_PACKETS"); text != nullptr && *text != '\0') {
        const long packets = std::strtol(text, nullptr, 10);
        return packets > 0 ? packets : fallback;
    }
    return fallback;
}

LiveFuzzer::Report LiveFuzzer::run()
{
    // The fuzzer serialises invalid UTF-8 on purpose; the library's
    // complaint about each would drown the test's output.
    const google::protobuf::LogSilencer silence;
    const auto begin = std::chrono::steady_clock::now();
    KnownIds ids;
    Report report;
    std::atomic<bool> stop{false};

    const long rounds = std::max(1L, options_.packets / options_.packetsPerBurst);
    const long burstBudget = rounds * options_.burstConnections * options_.burstPacketsEach;
    const long laneBudget = std::max(static_cast<long>(options_.lanes), options_.packets - burstBudget);

    std::vector<std::unique_ptr<FuzzLane>> lanes;
    for (int i = 0; i < options_.lanes; ++i) {
        FuzzLane::Options lane;
        lane.port = options_.port;
        lane.seed = FuzzRandom::streamSeed(options_.seed, static_cast<std::uint64_t>(i));
        lane.number = i;
        lane.everyCaseFirst = i == 0;
        lane.packets = laneBudget / options_.lanes + (i == 0 ? laneBudget % options_.lanes : 0);
        lane.answerTimeout = options_.answerTimeout;
        lane.soundFiles = options_.soundFiles;
        lanes.push_back(std::make_unique<FuzzLane>(lane, ids));
        lanes.back()->connect();
    }
    std::vector<std::thread> laneThreads;
    for (auto& lane : lanes) {
        laneThreads.emplace_back([&stop, &lane] {
            lane->run(&stop);
            if (!lane->result().failure.empty()) {
                stop = true;
            }
        });
    }
    ChaosClient chaos(options_.port, FuzzRandom::streamSeed(options_.seed, kChaosStream), ids, options_.soundFiles,
                      options_.answerTimeout);
    ChaosRunner chaosRunner(chaos);

    auto laneProgress = [&lanes] {
        long sum = 0;
        for (const auto& lane : lanes) {
            sum += lane->progress();
        }
        return sum;
    };
    for (long round = 0; round < rounds && !stop; ++round) {
        // Spread over the run, while the lanes and the chaos are busy.
        const long due = laneBudget * (round + 1) / (rounds + 1);
        while (!stop && laneProgress() < due && chaos.result().failure.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        chaosRunner.pause();
        std::vector<std::unique_ptr<FuzzLane>> burst;
        for (int i = 0; i < options_.burstConnections && !stop; ++i) {
            FuzzLane::Options lane;
            lane.port = options_.port;
            lane.number = kFirstBurstLane + static_cast<int>(round) * options_.burstConnections + i;
            lane.seed = FuzzRandom::streamSeed(options_.seed, static_cast<std::uint64_t>(lane.number));
            lane.packets = options_.burstPacketsEach;
            lane.queryEvery = 20;
            lane.answerTimeout = options_.answerTimeout;
            lane.soundFiles = options_.soundFiles;
            burst.push_back(std::make_unique<FuzzLane>(lane, ids));
            if (!burst.back()->connect()) {
                stop = true;
            }
        }
        // All connected before the first sends: the engine holds them all at once.
        std::vector<std::thread> burstThreads;
        for (auto& lane : burst) {
            burstThreads.emplace_back([&stop, &lane] { lane->run(&stop); });
        }
        for (auto& thread : burstThreads) {
            thread.join();
        }
        for (auto& lane : burst) {
            lane->close();
            collect(*lane, report);
            ++report.burstConnections;
        }
        chaosRunner.resume();
    }
    for (auto& thread : laneThreads) {
        thread.join();
    }
    chaosRunner.finish();
    for (auto& lane : lanes) {
        lane->close();
        collect(*lane, report);
    }
    const ChaosClient::Result& chaosResult = chaos.result();
    report.packets += chaosResult.packets;
    report.chaosConnections = chaosResult.connections;
    report.chaosKinds = chaosResult.kinds;
    if (!chaosResult.failure.empty()) {
        report.failures.push_back(chaosResult.failure);
    }
    report.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
    return report;
}

std::string LiveFuzzer::Report::summary() const
{
    std::ostringstream text;
    const double seconds = std::max(0.001, elapsed.count() / 1000.0);
    text << "packets=" << packets << "; seconds=" << seconds << "; packetsPerSecond=" << static_cast<long>(packets / seconds)
         << "; answers=" << answers << "; engineCommands=" << engineCommands
         << "; chaosConnections=" << chaosConnections << "; burstConnections=" << burstConnections << "\n";
    text << "cases:";
    for (const auto& [number, count] : cases) {
        const auto* field = Proto::CitrixMessage::descriptor()->FindFieldByNumber(number);
        text << " " << (field != nullptr ? field->name() : std::string("bytes")) << "=" << count;
    }
    text << "\nchaos:";
    for (const auto& [kind, count] : chaosKinds) {
        text << " [" << kind << "]=" << count;
    }
    text << "\n";
    for (const auto& failure : failures) {
        text << "FAILURE: " << failure << "\n";
    }
    return text.str();
}

}  // namespace Tarvent::VirtualChannel::TestSupport
