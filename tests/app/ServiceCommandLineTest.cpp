#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/AppTestSupport.h"
#include "app/FakeServiceApplication.h"
#include "app/ServiceCommandLine.h"
#include "logging/TempDir.h"
#include "support/CapturingAppender.h"

namespace Tarvent::VirtualChannel {
namespace {

using TestSupport::ConsoleCapture;
using TestSupport::FakeServiceApplication;
using TestSupport::ScopedEnvironment;
using TestSupport::TempDir;

class ServiceCommandLineTest : public ::testing::Test {
protected:
    ServiceCommandLineTest()
    {
        std::filesystem::create_directory(dir.file("units"));
        // A start that fails ends a service run at once, without signals.
        application.onStart = [](const std::string&) { throw std::runtime_error("no engine in this test"); };
    }

    int run(const std::vector<const char*>& arguments)
    {
        std::vector<const char*> argv{"ovra"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        argv.push_back(nullptr);
        const ServiceCommandLine commandLine(application, output.file(), errors.file());
        return commandLine.run(static_cast<int>(argv.size() - 1), argv.data());
    }

    TempDir dir;
    const ScopedEnvironment units{"OVRA_UNIT_DIR", dir.file("units")};
    const ScopedEnvironment data{"OVRA_PROGRAM_DATA", dir.file("data")};
    TestSupport::LogCapture log;
    FakeServiceApplication application;
    ConsoleCapture output;
    ConsoleCapture errors;
};

TEST_F(ServiceCommandLineTest, HelpPrintsTheOptions)
{
    EXPECT_EQ(run({"/?"}), 0);
    EXPECT_EQ(output.text(), "Options:\n/?\tprint help\n/i\tinstall service\n/u\tuninstall service\n");
    EXPECT_EQ(application.starts(), 0);
}

TEST_F(ServiceCommandLineTest, InstallAndUninstallInAnyLetterCase)
{
    EXPECT_EQ(run({"/I"}), 0);
    EXPECT_TRUE(std::filesystem::exists(dir.file("units/TARVENT-OVRA.service")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("data/TARVENT/OVRA")));
    EXPECT_EQ(run({"/u", "/i"}), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("units/TARVENT-OVRA.service")));
    EXPECT_EQ(output.text(), "Service installed successfully\nService uninstalled successfully\n");
    EXPECT_EQ(application.starts(), 0);
}

TEST_F(ServiceCommandLineTest, AnythingElseRunsTheServiceInTheWorkingDirectory)
{
    EXPECT_EQ(run({}), 1);
    EXPECT_EQ(run({"/x", "/?"}), 1);
    EXPECT_EQ(application.starts(), 2);
    EXPECT_EQ(application.workingDirectory(), dir.file("data/TARVENT/OVRA"));
    EXPECT_EQ(output.text(), "");
    EXPECT_EQ(errors.text(), "Failed to start application: no engine in this test\n"
                             "Failed to start application: no engine in this test\n");
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
