#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/AppTestSupport.h"
#include "app/FakeServiceApplication.h"
#include "app/IServiceStatusReporter.h"
#include "app/ServiceHost.h"
#include "app/SystemdStatusReporter.h"
#include "platform/StopSignalWatcher.h"
#include "logging/TempDir.h"
#include "support/CapturingAppender.h"

namespace Tarvent::VirtualChannel {
namespace {

using TestSupport::ConsoleCapture;
using TestSupport::FakeServiceApplication;
using TestSupport::LogCapture;
using TestSupport::ScopedEnvironment;
using TestSupport::TempDir;
using TestSupport::waitUntil;

// "state/exitCode/checkPoint/waitHint" per report.
class RecordingReporter : public IServiceStatusReporter {
public:
    void report(const ServiceStatus& status) override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        reports_.push_back(std::string(serviceStateName(status.state)) + "/" + std::to_string(status.exitCode) +
                           "/" + std::to_string(status.checkPoint) + "/" + std::to_string(status.waitHintMs) +
                           (status.controlsAccepted != 0 ? "/stop" : ""));
    }
    std::vector<std::string> reports()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return reports_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> reports_;
};

const std::vector<std::string> kOrderlyRun = {"START_PENDING/0/1/10000", "RUNNING/0/0/0/stop",
                                              "STOP_PENDING/0/2/0/stop", "STOPPED/0/0/0/stop"};

class ServiceHostTest : public ::testing::Test {
protected:
    int runHost()
    {
        ServiceHost host(application, reporter, workingDirectory, errors.file());
        return host.run();
    }
    static void sendToSelf(int signal) { ASSERT_EQ(::kill(::getpid(), signal), 0); }

    TempDir dir;
    const std::string workingDirectory = dir.file("TARVENT/OVRA");
    LogCapture log;
    ConsoleCapture errors;
    FakeServiceApplication application;
    RecordingReporter reporter;
};

TEST_F(ServiceHostTest, StopSignalWhileRunningStopsInOrderAndExitsZero)
{
    application.onRun = [&] {
        sendToSelf(SIGTERM);
        ASSERT_TRUE(waitUntil([&] { return application.stops() == 1; }));
        // Once stopping, a second signal changes nothing.
        sendToSelf(SIGINT);
        ASSERT_TRUE(waitUntil([&] { return log.contains("Stop signal received: signal=SIGINT"); }));
    };
    EXPECT_EQ(runHost(), 0);
    EXPECT_EQ(application.stops(), 1);
    EXPECT_EQ(reporter.reports(), kOrderlyRun);
    EXPECT_TRUE(log.contains("Stop signal received: signal=SIGTERM"));
    EXPECT_EQ(errors.text(), "");
}

TEST_F(ServiceHostTest, StartCreatesTheWorkingDirectoryAndPassesItOn)
{
    application.onRun = [&] { sendToSelf(SIGINT); };
    EXPECT_EQ(runHost(), 0);
    EXPECT_EQ(application.workingDirectory(), workingDirectory);
    EXPECT_TRUE(std::filesystem::is_directory(workingDirectory + "/log"));
    EXPECT_TRUE(std::filesystem::is_directory(workingDirectory + "/records"));
}

TEST_F(ServiceHostTest, StopSignalDuringStartIsActedOnOnceRunning)
{
    application.onStart = [&](const std::string&) {
        sendToSelf(SIGTERM);
        ASSERT_TRUE(waitUntil([&] { return log.contains("Stop requested while starting"); }));
        EXPECT_EQ(application.stops(), 0);
    };
    EXPECT_EQ(runHost(), 0);
    EXPECT_EQ(application.runs(), 1);
    EXPECT_EQ(application.stops(), 1);
    EXPECT_EQ(reporter.reports(), kOrderlyRun);
}

TEST_F(ServiceHostTest, AStopSignalThatCameBeforeTheHostRanIsActedOnOnceRunning)
{
    // As the executable does from its first moment: the signal waits.
    ASSERT_EQ(StopSignalWatcher::blockStopSignals(), 0);
    sendToSelf(SIGTERM);
    application.onRun = [&] {
        if (!waitUntil([&] { return application.stops() == 1; })) {
            application.stop();  // ends the run, so that the test fails instead of hanging
        }
    };
    EXPECT_EQ(runHost(), 0);
    EXPECT_EQ(application.stops(), 1);
    EXPECT_EQ(reporter.reports(), kOrderlyRun);
}

TEST_F(ServiceHostTest, FailedStartLogsAndPrintsTheFatalLineAndExitsOne)
{
    application.onStart = [](const std::string&) {
        throw std::runtime_error("Failed to initialize packet dispatcher.");
    };
    EXPECT_EQ(runHost(), 1);
    const std::string line = "Failed to start application: Failed to initialize packet dispatcher.";
    EXPECT_TRUE(log.contains(line));
    EXPECT_EQ(errors.text(), line + "\n");
    EXPECT_EQ(application.runs(), 0);
    EXPECT_EQ(reporter.reports(), (std::vector<std::string>{"START_PENDING/0/1/10000", "STOPPED/1359/0/0/stop"}));
}

TEST_F(ServiceHostTest, AFailedStartIsAbandonedOnlyAfterTheFailureWasLogged)
{
    application.onStart = [](const std::string&) { throw std::runtime_error("no socket"); };
    application.onAbandon = [] { logInfo("Closing passive socket"); };
    EXPECT_EQ(runHost(), 1);
    EXPECT_EQ(application.abandons(), 1);
    EXPECT_EQ(application.runs(), 0);
    const auto lines = log.messages();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Failed to start application: no socket");
    EXPECT_EQ(lines[1], "Closing passive socket");
}

TEST_F(ServiceHostTest, AnAbandonThatFailsIsLoggedAndTheServiceStillStops)
{
    application.onStart = [](const std::string&) { throw std::runtime_error("no socket"); };
    application.onAbandon = [] { throw std::runtime_error("Failed to delete registry value: name=\"Port\"; result=13"); };
    EXPECT_EQ(runHost(), 1);
    EXPECT_TRUE(log.contains("Failed to abandon the start: Failed to delete registry value"));
    EXPECT_EQ(reporter.reports().back(), "STOPPED/1359/0/0/stop");
}

TEST_F(ServiceHostTest, UnusableWorkingDirectoryFailsTheStart)
{
    TestSupport::writeFile(dir.file("TARVENT"), "");
    EXPECT_EQ(runHost(), 1);
    EXPECT_EQ(application.starts(), 0);
    // What the executable published before is withdrawn all the same.
    EXPECT_EQ(application.abandons(), 1);
    EXPECT_EQ(errors.text(), "Failed to start application: Failed to create working directory: result=20; path=\"" +
                                 workingDirectory + "\"\n");
}

TEST_F(ServiceHostTest, RunEndingUnaskedOrThrowingExitsOne)
{
    application.runEndsAtOnce = true;
    EXPECT_EQ(runHost(), 1);
    EXPECT_EQ(errors.text(), "Application ended without a stop request\n");
    EXPECT_EQ(reporter.reports().back(), "STOPPED/1/0/0/stop");

    FakeServiceApplication throwing;
    throwing.onRun = [] { throw std::runtime_error("listener broke"); };
    ConsoleCapture moreErrors;
    ServiceHost host(throwing, reporter, workingDirectory, moreErrors.file());
    EXPECT_EQ(host.run(), 1);
    EXPECT_EQ(moreErrors.text(), "Application failed: listener broke\n");
    EXPECT_TRUE(log.contains("Application failed: listener broke"));
}

// The datagram socket a service manager listens on for NOTIFY_SOCKET.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        timeval timeout{10, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~NotifySocket() { ::close(fd_); }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    bool bound() const { return bound_; }
    std::string receive() const
    {
        char buffer[512];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "(nothing)";
    }

private:
    int fd_;
    bool bound_ = false;
};

TEST_F(ServiceHostTest, SystemdHearsReadyThenStopping)
{
    const NotifySocket socket(dir.file("notify"));
    ASSERT_TRUE(socket.bound());
    const ScopedEnvironment notify("NOTIFY_SOCKET", dir.file("notify"));
    SystemdStatusReporter systemd;
    application.onRun = [&] { sendToSelf(SIGTERM); };
    ServiceHost host(application, systemd, workingDirectory, errors.file());
    EXPECT_EQ(host.run(), 0);
    EXPECT_EQ(socket.receive(), "READY=1");
    EXPECT_EQ(socket.receive(), "STOPPING=1");
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
