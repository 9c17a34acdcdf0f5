// The engine executable as the client meets it:
//  - start time: from starting the process to the port file holding the
//    listening port (goal: under 50 ms; the SIP stack starts later, on its
//    action), over several starts, and to the first answer of a client
//    that connects at once (it waits for the engine module to load);
//  - command round trip: a SipStackStatusQuery answered by the running
//    engine over loopback against a plain TCP echo of a packet of the same
//    size, with the same client, in alternating blocks of the same run
//    (goal: p50 at most 1.5x the echo's);
//  - idle CPU and resident memory with the stack running and one account
//    registered at a local registrar (goals: under 0.5% of one core, under
//    70 MB). The client asks for the stack's status every 2 s, as a
//    connected softphone does, so that the idle shutdown does not stop the stack.
// Runs itself inside a loopback-only network namespace (scripts/in-netns).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "EchoServer.h"
#include "platform/Socket.h"
#include "NetnsReexec.h"
#include "support/CitrixTestClient.h"
#include "support/EngineProcess.h"
#include "support/KamailioFixture.h"
#include "support/TempDir.h"
#include "transport/VCPacketHolder.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using TestSupport::ChannelTestClient;
using TestSupport::CitrixTestClient;
using TestSupport::EngineProcess;
using TestSupport::TempDir;

constexpr int kStarts = 20;
constexpr int kWarmup = 2000;
constexpr int kBlock = 2000;
constexpr int kBlocks = 10;
constexpr std::chrono::seconds kIdleMeasurement{30};

double percentile(std::vector<double> values, int p)
{
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, values.size() * static_cast<std::size_t>(p) / 100)];
}

void startTime()
{
    Proto::CitrixMessage query;
    query.mutable_sipstackstatusquery();
    std::vector<double> ms;
    std::vector<double> answerMs;
    for (int i = 0; i < kStarts; ++i) {
        TempDir dir("ovra-bench");
        const auto begin = Clock::now();
        EngineProcess engine(OVRA_ENGINE_BINARY, dir.path());
        const auto port = engine.waitForPort(10s);
        if (!port) {
            std::fprintf(stderr, "engine did not publish its port:\n%s\n", engine.console().c_str());
            std::exit(1);
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
        // A client that connects at once waits for the engine to be loaded.
        CitrixTestClient client(*port);
        if (!client.request(query, 10s)) {
            std::fprintf(stderr, "engine did not answer:\n%s\n", engine.console().c_str());
            std::exit(1);
        }
        answerMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
    }
    const double median = percentile(ms, 50);
    std::printf("%-34s median %6.1f ms   max %6.1f ms   (%d starts)\n", "start to port file", median,
                *std::max_element(ms.begin(), ms.end()), kStarts);
    std::printf("%-34s median %6.1f ms   max %6.1f ms\n", "start to first answer", percentile(answerMs, 50),
                *std::max_element(answerMs.begin(), answerMs.end()));
    std::printf("start time goal (< 50 ms): %s\n", median < 50 ? "goal met" : "goal missed");
}

void roundTrips(ChannelTestClient& client, const std::string& payload, int count, std::uint64_t* nextId,
                std::vector<double>* samples)
{
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        if (!client.sendPacket(0, (*nextId)++, payload) || !client.readPacket(5s)) {
            std::fprintf(stderr, "round trip failed\n");
            std::exit(1);
        }
        if (samples != nullptr) {
            samples->push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    }
}

void roundTrip(int enginePort)
{
    Proto::CitrixMessage query;
    query.mutable_sipstackstatusquery();
    const std::string payload = query.SerializeAsString();
    EchoServer echo;
    ChannelTestClient echoClient(echo.port());
    ChannelTestClient engineClient(enginePort);
    std::uint64_t echoId = 1;
    std::uint64_t engineId = 1000000;
    std::vector<double> echoUs;
    std::vector<double> engineUs;
    roundTrips(echoClient, payload, kWarmup, &echoId, nullptr);
    roundTrips(engineClient, payload, kWarmup, &engineId, nullptr);
    for (int block = 0; block < kBlocks; ++block) {
        roundTrips(echoClient, payload, kBlock, &echoId, &echoUs);
        roundTrips(engineClient, payload, kBlock, &engineId, &engineUs);
    }
    echoClient.close();
    const double echoP50 = percentile(echoUs, 50);
    const double engineP50 = percentile(engineUs, 50);
    std::printf("%-34s p50 %7.1f us   p99 %7.1f us\n", "plain TCP echo", echoP50, percentile(echoUs, 99));
    std::printf("%-34s p50 %7.1f us   p99 %7.1f us\n", "SipStackStatusQuery (engine)", engineP50,
                percentile(engineUs, 99));
    const double ratio = engineP50 / echoP50;
    std::printf("p50 ratio %.2f (goal <= 1.5): %s\n", ratio, ratio <= 1.5 ? "goal met" : "goal missed");
}

// utime + stime of `pid` in seconds.
double cpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) {
            utime = std::stoull(field);
        } else if (index == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double residentMb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            double kb = 0;
            status >> kb;
            return kb / 1024.0;
        }
        status.ignore(1 << 16, '\n');
    }
    return 0;
}

// Percent of one core `pid` used over `period`, asking for the stack's status every 2 s.
double cpuPercent(pid_t pid, CitrixTestClient& client, std::chrono::seconds period)
{
    Proto::CitrixMessage query;
    query.mutable_sipstackstatusquery();
    const double cpuBefore = cpuSeconds(pid);
    const auto begin = Clock::now();
    while (Clock::now() - begin < period) {
        std::this_thread::sleep_for(2s);
        client.request(query);
    }
    const double wall = std::chrono::duration<double>(Clock::now() - begin).count();
    return 100.0 * (cpuSeconds(pid) - cpuBefore) / wall;
}

void idleLoad(EngineProcess& engine, CitrixTestClient& client)
{
    const pid_t pid = engine.process().pid();
    std::printf("%-34s %6.3f %% of one core, %.1f MB\n", "idle, stack stopped", cpuPercent(pid, client, 10s),
                residentMb(pid));
    Proto::CitrixMessage start;
    start.mutable_sipstackstartaction()->set_useragent("ovra-bench");
    const auto started = client.request(start, 30s);
    if (!started || started->sipstackstatusanswer().status() != Proto::SipStackStatusAnswer::RUNNING) {
        std::fprintf(stderr, "stack did not start:\n%s\n", engine.log().c_str());
        std::exit(1);
    }
    Proto::CitrixMessage create;
    auto& account = *create.mutable_createaccountaction();
    account.set_username("alice");
    account.set_realm("127.0.0.1");
    account.set_password("alicepw");
    account.set_transport("udp");
    client.request(create);
    const auto registered = client.notification(
        [](const Proto::CitrixMessage& m) {
            return m.has_accountregstatechangednotification() && m.accountregstatechangednotification().isconnected();
        },
        10s);
    if (!registered) {
        std::fprintf(stderr, "account did not register:\n%s\n", engine.log().c_str());
        std::exit(1);
    }
    std::this_thread::sleep_for(2s);  // let the start's work settle
    const double percent = cpuPercent(pid, client, kIdleMeasurement);
    const double rss = residentMb(pid);
    std::printf("%-34s %6.3f %% of one core over %lld s\n", "idle CPU (stack + 1 account)", percent,
                static_cast<long long>(kIdleMeasurement.count()));
    std::printf("%-34s %6.1f MB\n", "resident memory", rss);
    std::printf("idle CPU goal (< 0.5%%): %s; memory goal (< 70 MB): %s\n", percent < 0.5 ? "goal met" : "goal missed",
                rss < 70 ? "goal met" : "goal missed");
}

int run()
{
    startTime();
    const TestSupport::KamailioFixture kamailio({{"alice", "alicepw"}}, "127.0.0.1", 5060);
    TempDir dir("ovra-bench");
    EngineProcess engine(OVRA_ENGINE_BINARY, dir.path());
    const auto port = engine.waitForPort(10s);
    if (!port) {
        std::fprintf(stderr, "engine did not publish its port:\n%s\n", engine.console().c_str());
        return 1;
    }
    roundTrip(*port);
    CitrixTestClient client(*port);
    idleLoad(engine, client);
    return 0;
}

}  // namespace
}  // namespace Tarvent::VirtualChannel

int main(int argc, char** argv)
{
    return Tarvent::VirtualChannel::runBenchInOwnNetwork(argc, argv, "bench_engine", Tarvent::VirtualChannel::run);
}
