#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "logging/TempDir.h"
#include "platform/Systemctl.h"

namespace Tarvent::VirtualChannel {
namespace {

using TestSupport::TempDir;
using TestSupport::writeFile;

TEST(Systemctl, SystemdRunsWhenItsMarkerFolderExists)
{
    TempDir dir;
    EXPECT_FALSE(Systemctl(dir.file("marker")).systemdRunning());
    writeFile(dir.file("marker"), "");
    EXPECT_FALSE(Systemctl(dir.file("marker")).systemdRunning());
    std::filesystem::create_directory(dir.file("folder"));
    EXPECT_TRUE(Systemctl(dir.file("folder")).systemdRunning());
}

// Running a real program, its arguments and exit status, is covered by the
// installer's tests.
TEST(Systemctl, RunReportsAProgramThatCannotStart)
{
    TempDir dir;
    EXPECT_EQ(Systemctl(dir.file("marker"), dir.file("missing-program")).run({"enable"}), ENOENT);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
