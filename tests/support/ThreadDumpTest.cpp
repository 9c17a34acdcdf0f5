#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "support/ChildProcess.h"
#include "support/ThreadDump.h"

namespace Tarvent::VirtualChannel::TestSupport {
namespace {

using namespace std::chrono_literals;

std::string ownExecutable()
{
    char path[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

TEST(ThreadDump, ShowsEveryThreadOfARunningProcessAndLeavesItRunning)
{
    ChildProcess sleeper({"sleep", "60"});
    std::this_thread::sleep_for(100ms);  // exec'd
    const std::string stacks = ThreadDump::of(sleeper.pid());
    EXPECT_NE(stacks.find("Thread 1"), std::string::npos) << stacks;
    EXPECT_NE(stacks.find("sleep"), std::string::npos) << stacks;
    EXPECT_TRUE(sleeper.running()) << "gdb detaches again";
    EXPECT_NE(ThreadDump::of(999999).find("has ended"), std::string::npos);
    ChildProcess ended({"true"});
    std::this_thread::sleep_for(200ms);  // ended, not yet reaped
    EXPECT_NE(ThreadDump::of(ended.pid()).find("has ended"), std::string::npos);
}

// Stands for a test that hangs; run only by the test below, in a process of its own.
TEST(HangWatchdog, DISABLED_OutlivesItsTimeLimit)
{
    std::this_thread::sleep_for(8s);
}

TEST(HangWatchdog, DumpsTheStacksOfATestThatOutlivesItsShareOfTheLimit)
{
    // A limit of 11 s leaves the 10 s the dump may take: it comes after 1 s.
    const ChildProcess::Result run = ChildProcess::run(
        {ownExecutable(), "--gtest_also_run_disabled_tests", "--gtest_filter=HangWatchdog.DISABLED_OutlivesItsTimeLimit"},
        60s, {"OVRA_TEST_TIMEOUT=11"});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("thread stacks of the test process"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("HangWatchdog.DISABLED_OutlivesItsTimeLimit still runs 1 s"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("OutlivesItsTimeLimit"), std::string::npos) << run.output;
}

}  // namespace
}  // namespace Tarvent::VirtualChannel::TestSupport
