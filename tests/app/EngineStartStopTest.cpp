#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/EngineTestSupport.h"
#include "support/ChildProcess.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;
using TestSupport::ChildProcess;
using TestSupport::EngineProcess;
using TestSupport::TempDir;

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
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

}  // namespace
}  // namespace Tarvent::VirtualChannel
