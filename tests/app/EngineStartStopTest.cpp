#include <gtest/gtest.h>

#include <csignal>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "app/EngineTestSupport.h"
#include "support/ChildProcess.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;
using TestSupport::ChildProcess;
using TestSupport::CitrixTestClient;
using TestSupport::EngineProcess;
using TestSupport::Message;
using TestSupport::TempDir;

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// The signals the process `pid` blocks, from the kernel's view of it.
std::uint64_t blockedSignals(int pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigBlk:", 0) == 0) {
            return std::stoull(line.substr(7), nullptr, 16);
        }
    }
    return 0;
}

constexpr std::uint64_t signalBit(int signal)
{
    return std::uint64_t{1} << (signal - 1);
}

TEST(EngineStartStop, AStopSignalAtAnyMomentAfterThePortIsKnownIsAnOrderlyStop)
{
    // The port is what tells a client (and a test) that the engine exists;
    // the module is still loading then, and the engine not yet built.
    for (const auto& [delay, signal] : {std::pair{0ms, SIGTERM}, {5ms, SIGTERM}, {50ms, SIGINT}, {500ms, SIGTERM}}) {
        SCOPED_TRACE("signal " + std::to_string(signal) + " " + std::to_string(delay.count()) + " ms after the port");
        TempDir dir("ovra-e2e");
        EngineProcess engine(TestSupport::engineBinary(), dir.path());
        ASSERT_TRUE(engine.waitForPort()) << engine.console();
        const std::uint64_t blocked = blockedSignals(engine.process().pid());
        EXPECT_EQ(blocked & (signalBit(SIGTERM) | signalBit(SIGINT)), signalBit(SIGTERM) | signalBit(SIGINT));
        std::this_thread::sleep_for(delay);
        engine.process().signal(signal);
        EXPECT_EQ(engine.process().waitFor(30s), 0) << engine.console() << engine.log();
        // Exit code 0 is a stop that was asked for (an unasked end gives 1);
        // a signal that came before the log was open left no line of its own.
        const std::string log = engine.log();
        EXPECT_TRUE(contains(log, "OVRA started: version=\"5.0.1151\"")) << log;
        EXPECT_TRUE(contains(log, "Exiting OVRA")) << log;
    }
}

TEST(EngineStartStop, AStartThatFailsAfterThePortWasPublishedWithdrawsIt)
{
    TempDir dir("ovra-e2e");
    // A plain file where the log folder belongs: the engine cannot start,
    // but the executable has published its listener's port by then.
    std::filesystem::create_directories(dir.file("TARVENT/OVRA"));
    std::ofstream(dir.file("TARVENT/OVRA/log")) << "not a folder";
    EngineProcess engine(TestSupport::engineBinary(), dir.path());
    EXPECT_EQ(engine.process().waitFor(20s), 1) << engine.console();
    EXPECT_TRUE(contains(engine.console(), "Failed to start application: Failed to create working directory"))
        << engine.console();
    EXPECT_FALSE(std::filesystem::exists(engine.portFile())) << TempDir::readFile(engine.portFile());
    // The registry key itself stays: the channel driver's configuration lives there.
    EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::path(engine.portFile()).parent_path()));
}

TEST(EngineStartStop, WithoutItsModuleTheEngineWithdrawsThePortLogsWhyAndStillPrintsItsHelp)
{
    TempDir dir("ovra-e2e");
    const std::string lonely = dir.makeDir("bin") + "/ovra";
    std::filesystem::copy_file(TestSupport::engineBinary(), lonely);
    std::filesystem::permissions(lonely, std::filesystem::perms::owner_all);

    EngineProcess engine(lonely, dir.path());
    EXPECT_EQ(engine.process().waitFor(20s), 1) << engine.console();
    const std::string reason = "Failed to start application: Failed to load engine module: " + dir.path() +
                               "/bin/ovra_engine.so";
    EXPECT_TRUE(contains(engine.console(), reason)) << engine.console();
    EXPECT_TRUE(contains(engine.log(), " F " + reason)) << engine.log();
    EXPECT_FALSE(std::filesystem::exists(engine.portFile())) << TempDir::readFile(engine.portFile());

    const auto help = ChildProcess::run({lonely, "/?"}, 10s, {"OVRA_PROGRAM_DATA=" + dir.path()});
    EXPECT_EQ(help.status, 0) << help.output;
    EXPECT_EQ(help.output, "Options:\n/?\tprint help\n/i\tinstall service\n/u\tuninstall service\n");
}

TEST(EngineStartStop, StartedWithItsStandardStreamsClosedItServesOnWithoutASoundServer)
{
    TempDir dir("ovra-e2e");
    // No sound server to reach: the device watcher's libraries fail and clean up.
    EngineProcess engine(TestSupport::engineBinary(), dir.path(),
                         {"PULSE_SERVER=unix:" + dir.file("no-pulse-here"), "PULSE_RUNTIME_PATH=" + dir.file("none")},
                         EngineProcess::Streams::Closed);
    const auto port = engine.waitForPort();
    ASSERT_TRUE(port);
    {
        CitrixTestClient client(*port);
        ASSERT_TRUE(client.connected());
        // Protocol 1: the device refresh begins at once, not a period later.
        ASSERT_TRUE(client.request(TestSupport::appStart(1)));
        const auto started = client.request(TestSupport::stackStart(), 30s);
        ASSERT_TRUE(started) << engine.log();
        Message create;
        create.mutable_audiodevicemanagercreateaction();
        const auto created = client.request(create, 30s);
        ASSERT_TRUE(created) << engine.log();
        ASSERT_EQ(CitrixTestClient::ackOf(*created).statuscode(), Proto::Ack::SUCCESS) << created->ShortDebugString();
        // The refresh tries to watch the sound server for device changes, and fails.
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (!contains(engine.log(), "Sound device changes can't be watched") &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_TRUE(contains(engine.log(), "Sound device changes can't be watched")) << engine.log();
        ASSERT_TRUE(client.request(TestSupport::stackQuery()));
    }
    // The listener still takes new connections after the device watch started.
    CitrixTestClient second(*port);
    ASSERT_TRUE(second.connected());
    const auto status = second.request(TestSupport::stackQuery());
    ASSERT_TRUE(status) << engine.log();
    EXPECT_TRUE(status->has_sipstackstatusanswer());
    const std::string log = engine.log();
    EXPECT_FALSE(contains(log, "Error happened on passive socket")) << log;
    engine.process().signal(SIGTERM);
    EXPECT_EQ(engine.process().waitFor(30s), 0) << engine.log();
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
