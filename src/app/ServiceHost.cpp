#include "app/ServiceHost.h"

#include <csignal>
#include <exception>
#include <stdexcept>

#include "app/IServiceApplication.h"
#include "app/IServiceStatusReporter.h"
#include "app/ServicePaths.h"
#include "logging/Logger.h"
#include "platform/StopSignalWatcher.h"
#include "util/MakeString.h"

namespace Tarvent::VirtualChannel {

namespace {

const char* signalName(int signal)
{
    switch (signal) {
    case SIGTERM:
        return "SIGTERM";
    case SIGINT:
        return "SIGINT";
    default:
        return "other";
    }
}

}  // namespace

ServiceHost::ServiceHost(IServiceApplication& application, IServiceStatusReporter& reporter,
                         std::string workingDirectory, std::FILE* errorOutput)
    : application_(application),
      reporter_(reporter),
      workingDirectory_(std::move(workingDirectory)),
      errorOutput_(errorOutput)
{
}

int ServiceHost::run()
{
    StopSignalWatcher watcher;
    {
        // A stop signal that was waiting already (blocked since the process
        // began) reaches the watcher at once: it must find START_PENDING, or
        // it would be dropped as if the service had stopped.
        const std::lock_guard<std::mutex> lock(mutex_);
        if (const int error = watcher.start([this](int signal) { onStopSignal(signal); }); error != 0) {
            std::fprintf(errorOutput_, "StartServiceCtrlDispatcher failed (%d)\n", error);
            return error;
        }
        reportLocked(ServiceState::StartPending, 0, kStartWaitHintMs);
    }
    // The watcher ends (and a late signal is dropped) only after the final report.
    return serviceMain();
}

int ServiceHost::serviceMain()
{
    try {
        if (const int error = createWorkingDirectory(workingDirectory_); error != 0) {
            throw std::runtime_error(makeString("Failed to create working directory: result=", error, "; path=\"",
                                                workingDirectory_, "\""));
        }
        application_.start(workingDirectory_);
    } catch (const std::exception& e) {
        return failStart(e.what());
    } catch (...) {
        return failStart("unknown exception");
    }

    enterRunning();
    try {
        application_.run();
    } catch (const std::exception& e) {
        return finish(makeString("Application failed: ", e.what()).c_str());
    } catch (...) {
        return finish("Application failed: unknown exception");
    }
    return finish(nullptr);
}

int ServiceHost::failStart(const char* reason)
{
    // The failure first: what the unwinding logs comes after it.
    logFatal("Failed to start application: %s", reason);
    std::fprintf(errorOutput_, "Failed to start application: %s\n", reason);
    try {
        application_.abandonStart();
    } catch (const std::exception& e) {
        logError("Failed to abandon the start: %s", e.what());
    } catch (...) {
        logError("Failed to abandon the start: unknown exception");
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    reportLocked(ServiceState::Stopped, kStartFailedExitCode, 0);
    return 1;
}

void ServiceHost::enterRunning()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    reportLocked(ServiceState::Running, 0, 0);
    if (stopDeferred_) {
        beginStopLocked();
    }
}

int ServiceHost::finish(const char* failure)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    // An end nobody asked for (the listener failed) must look like a failure
    // to the service manager, so that it restarts the engine.
    const char* const reason =
        failure != nullptr ? failure : (stopRequested_ ? nullptr : "Application ended without a stop request");
    if (reason != nullptr) {
        logFatal("%s", reason);
        std::fprintf(errorOutput_, "%s\n", reason);
    }
    reportLocked(ServiceState::Stopped, reason != nullptr ? 1 : 0, 0);
    return reason != nullptr ? 1 : 0;
}

void ServiceHost::requestStop()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == ServiceState::Running) {
        beginStopLocked();
    } else if (state_ == ServiceState::StartPending && !stopDeferred_) {
        stopDeferred_ = true;
        logInfo("Stop requested while starting; stopping once running");
    }
}

void ServiceHost::onStopSignal(int signal)
{
    logInfo("Stop signal received: signal=%s", signalName(signal));
    // The signal thread has no caller to hand a failure to.
    try {
        requestStop();
    } catch (const std::exception& e) {
        logError("Failed to stop application: %s", e.what());
    }
}

void ServiceHost::beginStopLocked()
{
    stopRequested_ = true;
    reportLocked(ServiceState::StopPending, 0, 0);
    // Also reached from enterRunning on the main thread, which must go on to
    // run the application whatever happens here.
    try {
        application_.stop();
    } catch (const std::exception& e) {
        logError("Failed to stop application: %s", e.what());
    }
}

void ServiceHost::reportLocked(ServiceState state, std::uint32_t exitCode, std::uint32_t waitHintMs)
{
    state_ = state;
    ServiceStatus status;
    status.state = state;
    status.controlsAccepted = state == ServiceState::StartPending ? 0 : kServiceAcceptStop;
    status.exitCode = exitCode;
    const bool pending = state == ServiceState::StartPending || state == ServiceState::StopPending;
    status.checkPoint = pending ? nextCheckPoint_++ : 0;
    status.waitHintMs = waitHintMs;
    reporter_.report(status);
}

}  // namespace Tarvent::VirtualChannel
