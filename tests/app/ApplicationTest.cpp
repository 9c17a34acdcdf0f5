#include <gtest/gtest.h>

#include <fcntl.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "app/AppTestSupport.h"
#include "app/Application.h"
#include "app/PortPublication.h"
#include "app/ServicePaths.h"
#include "logging/Logger.h"
#include "logging/TempDir.h"
#include "platform/Socket.h"

namespace Tarvent::VirtualChannel {
namespace {

using TestSupport::readFile;
using TestSupport::ScopedEnvironment;
using TestSupport::TempDir;
using TestSupport::writeFile;

class ApplicationTest : public ::testing::Test {
protected:
    ~ApplicationTest() override
    {
        // A failed start leaves the log appender for the caller's failure line.
        Logger::instance().removeAllAppenders();
    }

    std::string startFailure(Application& application)
    {
        try {
            application.start(working);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "(started)";
    }
    std::string portValue() const { return readFile(keyFolder + "/Port"); }
    bool portPublished() const { return std::filesystem::exists(keyFolder + "/Port"); }

    static Socket listeningSocket()
    {
        Socket socket = Socket::createTcp();
        EXPECT_TRUE(socket.bindLoopback(0) && socket.listen(16));
        return socket;
    }

    TempDir dir;
    ScopedEnvironment programData{"OVRA_PROGRAM_DATA", dir.path()};
    const std::string working = workingDirectory(dir.path());
    const std::string keyFolder = dir.path() +
        "/TARVENT/registry/HKEY_LOCAL_MACHINE/Software/Citrix/ICA Client/Engine/Configuration/Advanced/Modules/VDOVRA";
};

TEST_F(ApplicationTest, AListenerThatCannotBeTakenOverFailsTheStartWithTheDispatchersLines)
{
    ASSERT_EQ(createWorkingDirectory(working), 0);
    // Not a socket at all: the dispatcher cannot use it.
    Application application{Socket(::open("/dev/null", O_RDWR | O_CLOEXEC))};
    EXPECT_EQ(startFailure(application), "Failed to initialize packet dispatcher.");
    application.abandonStart();
    Logger::instance().removeAllAppenders();

    const std::string log = readFile(working + "/log/ovra.log");
    const auto started = log.find(" I OVRA started: version=\"5.0.1151\"\n");
    const auto failed = log.find(" E Failed to initialize packet dispatcher\n");
    // The start line is the first line of the log.
    ASSERT_NE(started, std::string::npos) << log;
    EXPECT_EQ(log.find('\n'), started + std::string(" I OVRA started: version=\"5.0.1151\"").size()) << log;
    ASSERT_NE(failed, std::string::npos) << log;
    EXPECT_LT(started, failed) << log;
    EXPECT_EQ(log.find("Writing passive socket port to registry"), std::string::npos) << log;
    EXPECT_EQ(log.find("Exiting OVRA"), std::string::npos) << log;
    EXPECT_FALSE(portPublished());
}

TEST_F(ApplicationTest, AFailedStartWithdrawsTheListenersPortButNotAnotherEnginesOne)
{
    // A plain file where the log folder belongs: the start fails at the log,
    // after the executable had published its listener's port.
    std::filesystem::create_directories(working);
    writeFile(working + "/log", "not a folder");
    {
        Socket listening = listeningSocket();
        const int port = listening.localPort();
        PortPublication::publish(port);
        Application application{std::move(listening)};
        EXPECT_EQ(startFailure(application), "Failed to open logging directory.");
        EXPECT_EQ(portValue(), std::to_string(port));
        application.abandonStart();
        EXPECT_FALSE(portPublished());
    }
    {
        // An engine started since has published its own port: it stays.
        Socket listening = listeningSocket();
        PortPublication::publish(listening.localPort() + 1);
        Application application{std::move(listening)};
        EXPECT_EQ(startFailure(application), "Failed to open logging directory.");
        application.abandonStart();
        EXPECT_TRUE(portPublished());
    }
    {
        // Nobody abandoned the start: the Application does so itself when it goes.
        Socket listening = listeningSocket();
        const int port = listening.localPort();
        PortPublication::publish(port);
        {
            Application application{std::move(listening)};
            EXPECT_EQ(startFailure(application), "Failed to open logging directory.");
        }
        EXPECT_FALSE(portPublished());
    }
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
