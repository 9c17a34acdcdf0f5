#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/AppTestSupport.h"
#include "app/ServiceInstaller.h"
#include "logging/TempDir.h"
#include "platform/ProcessPaths.h"
#include "platform/Systemctl.h"
#include "support/ChildProcess.h"

namespace Tarvent::VirtualChannel {
namespace {

using TestSupport::ConsoleCapture;
using TestSupport::readFile;
using TestSupport::ScopedEnvironment;
using TestSupport::TempDir;
using TestSupport::writeFile;

class ServiceInstallerTest : public ::testing::Test {
protected:
    ServiceInstallerTest()
    {
        std::filesystem::create_directory(unitFolder);
        writeFile(fakeSystemctl, "#!/bin/sh\n"
                                 "echo \"$*\" >> \"$(dirname \"$0\")/calls\"\n"
                                 "exit $(cat \"$(dirname \"$0\")/status\" 2>/dev/null || echo 0)\n");
        std::filesystem::permissions(fakeSystemctl, std::filesystem::perms::owner_all);
        settings.unitFolder = unitFolder;
        settings.programData = dir.file("data");
    }

    ServiceInstaller installer() const { return ServiceInstaller(settings, systemctl, console.file()); }
    void systemdRuns() const { std::filesystem::create_directory(dir.file("run-systemd")); }
    std::string calls() const { return readFile(dir.file("calls")); }
    std::string unit() const { return readFile(unitFolder + "/TARVENT-OVRA.service"); }
    static std::string self()
    {
        std::string path;
        executablePath(path);
        return path;
    }

    TempDir dir;
    const std::string unitFolder = dir.file("units");
    const std::string fakeSystemctl = dir.file("fake-systemctl");
    const Systemctl systemctl{dir.file("run-systemd"), fakeSystemctl};
    ServiceInstaller::Settings settings;
    ConsoleCapture console;
};

TEST_F(ServiceInstallerTest, InstallWritesTheUnitAndWorkingDirectory)
{
    EXPECT_EQ(installer().install(), 0);
    EXPECT_EQ(console.text(), "Service installed successfully\n");
    EXPECT_EQ(unit(), "[Unit]\n"
                      "Description=TARVENT Orvalend Media Engine\n"
                      "StartLimitIntervalSec=0\n"
                      "\n"
                      "[Service]\n"
                      "Type=notify\n"
                      "ExecStart=\"" + self() + "\"\n"
                      "Restart=on-failure\n"
                      "RestartSec=1000ms\n"
                      "\n"
                      "[Install]\n"
                      "WantedBy=multi-user.target\n");
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("data/TARVENT/OVRA/log")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("data/TARVENT/OVRA/records")));
    // systemd is not running here: nothing to enable.
    EXPECT_EQ(calls(), "");

    // Installing again is refused with the errno of an existing unit.
    EXPECT_EQ(installer().install(), EEXIST);
    EXPECT_EQ(console.text(), "Service installed successfully\nCreateService failed (17)\n");
}

TEST_F(ServiceInstallerTest, UninstallRemovesTheUnitOnlyWhenThere)
{
    ASSERT_EQ(installer().install(), 0);
    EXPECT_EQ(installer().uninstall(), 0);
    EXPECT_FALSE(std::filesystem::exists(unitFolder + "/TARVENT-OVRA.service"));
    EXPECT_EQ(installer().uninstall(), ENOENT);
    EXPECT_EQ(console.text(), "Service installed successfully\n"
                              "Service uninstalled successfully\n"
                              "OpenService failed (2)\n");
    // The working directory (logs, recordings) outlives the service.
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("data/TARVENT/OVRA")));
    EXPECT_EQ(calls(), "");
}

TEST_F(ServiceInstallerTest, UnderSystemdTheUnitIsEnabledAndDisabled)
{
    systemdRuns();
    ASSERT_EQ(installer().install(), 0);
    EXPECT_EQ(calls(), "enable TARVENT-OVRA.service\n");
    ASSERT_EQ(installer().uninstall(), 0);
    EXPECT_EQ(calls(), "enable TARVENT-OVRA.service\ndisable TARVENT-OVRA.service\ndaemon-reload\n");

    settings.useSystemctl = false;
    ASSERT_EQ(installer().install(), 0);
    ASSERT_EQ(installer().uninstall(), 0);
    EXPECT_EQ(calls(), "enable TARVENT-OVRA.service\ndisable TARVENT-OVRA.service\ndaemon-reload\n");
}

TEST_F(ServiceInstallerTest, SystemctlFailuresAreReportedWithItsStatus)
{
    systemdRuns();
    writeFile(dir.file("status"), "3");
    EXPECT_EQ(installer().install(), 3);
    // Like a service whose configuration failed, the unit stays installed.
    EXPECT_FALSE(unit().empty());
    EXPECT_EQ(installer().uninstall(), 3);
    EXPECT_FALSE(unit().empty());
    EXPECT_EQ(console.text(), "ChangeServiceConfig2 failed (3)\nDeleteService failed (3)\n");
}

TEST_F(ServiceInstallerTest, UnusableFoldersAreReportedWithTheirErrno)
{
    settings.unitFolder = dir.file("missing");
    EXPECT_EQ(installer().install(), ENOENT);
    EXPECT_EQ(installer().uninstall(), ENOENT);
    EXPECT_EQ(console.text(), "OpenSCManager failed (2)\nOpenSCManager failed (2)\n");

    settings.unitFolder = unitFolder;
    writeFile(dir.file("data"), "");
    ConsoleCapture second;
    EXPECT_EQ(ServiceInstaller(settings, systemctl, second.file()).install(), ENOTDIR);
    EXPECT_EQ(second.text(),
              "Failed to create working directory (20): path=\"" + dir.file("data/TARVENT/OVRA") + "\"\n");
    EXPECT_FALSE(unit().empty());
}

TEST_F(ServiceInstallerTest, UnitTextQuotesWhatSystemdWouldExpand)
{
    settings.pinProgramData = true;
    settings.programData = "/srv/100%";
    const std::string text = installer().unitText("/opt/a \"b\"/$HOME\\%n/ovra");
    EXPECT_NE(text.find("ExecStart=\"/opt/a \\\"b\\\"/$$HOME\\\\%%n/ovra\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Environment=\"OVRA_PROGRAM_DATA=/srv/100%%\"\n"), std::string::npos) << text;
    EXPECT_EQ(installer().unitText("/opt/two\nlines"), "");
}

TEST_F(ServiceInstallerTest, SystemdReadsTheUnitWithoutAComplaint)
{
    settings.pinProgramData = true;
    ASSERT_EQ(installer().install(), 0);
    // systemd's own reader: an unknown or misplaced setting is reported, a
    // wrong value too; it needs no running systemd.
    const auto verify =
        TestSupport::ChildProcess::run({"systemd-analyze", "verify", unitFolder + "/TARVENT-OVRA.service"});
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_EQ(verify.output, "") << unit();
}

TEST(ServiceInstallerSettings, OwnUnitFolderIsOnlyWritten)
{
    {
        const ScopedEnvironment units("OVRA_UNIT_DIR", std::nullopt);
        const ScopedEnvironment data("OVRA_PROGRAM_DATA", std::nullopt);
        const auto settings = ServiceInstaller::Settings::fromEnvironment();
        EXPECT_EQ(settings.unitFolder, "/etc/systemd/system");
        EXPECT_TRUE(settings.useSystemctl);
        EXPECT_FALSE(settings.pinProgramData);
        EXPECT_EQ(settings.programData, "/var/lib");
    }
    const ScopedEnvironment units("OVRA_UNIT_DIR", "/tmp/units");
    const ScopedEnvironment data("OVRA_PROGRAM_DATA", "/tmp/data");
    const auto settings = ServiceInstaller::Settings::fromEnvironment();
    EXPECT_EQ(settings.unitFolder, "/tmp/units");
    EXPECT_FALSE(settings.useSystemctl);
    EXPECT_TRUE(settings.pinProgramData);
    EXPECT_EQ(settings.programData, "/tmp/data");
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
