#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "app/ServiceStatus.h"

namespace Tarvent::VirtualChannel {

class IServiceApplication;
class IServiceStatusReporter;

// Runs the engine as a service in the foreground, standing in for a service
// control manager: it reports the service's states around the application's
// start and run, and turns SIGTERM and SIGINT into the STOP control.
// `application` and `reporter` must outlive the host; `errorOutput` receives
// the console failure lines.
// Threads: `run` on the process's main thread (before any other thread is
// started, so that every thread inherits the blocked stop signals);
// `requestStop` on the host's signal thread, or any other thread.
class ServiceHost {
public:
    static constexpr std::uint32_t kStartWaitHintMs = 10000;
    // Recorded in the STOPPED report when the application could not start.
    static constexpr std::uint32_t kStartFailedExitCode = 1359;

    ServiceHost(IServiceApplication& application, IServiceStatusReporter& reporter, std::string workingDirectory,
                std::FILE* errorOutput);

    ServiceHost(const ServiceHost&) = delete;
    ServiceHost& operator=(const ServiceHost&) = delete;

    // The whole service run. Returns the process exit code: 0 after an
    // orderly stop, 1 when the application failed to start or ended without
    // being asked to, the errno when the stop signals could not be watched.
    int run();

    // The STOP control: acted on when RUNNING; remembered while the service
    // starts and acted on once it runs; ignored once stopping.
    void requestStop();

private:
    int serviceMain();
    int failStart(const char* reason);
    int finish(const char* failure);
    void enterRunning();
    void onStopSignal(int signal);
    // Callers hold mutex_.
    void reportLocked(ServiceState state, std::uint32_t exitCode, std::uint32_t waitHintMs);
    void beginStopLocked();

    IServiceApplication& application_;
    IServiceStatusReporter& reporter_;
    const std::string workingDirectory_;
    std::FILE* const errorOutput_;

    // Guards every field below; held while reporting and while asking the
    // application to stop, so it comes before the application's own locks.
    std::mutex mutex_;
    ServiceState state_ = ServiceState::Stopped;
    std::uint32_t nextCheckPoint_ = 1;
    bool stopDeferred_ = false;
    bool stopRequested_ = false;
};

}  // namespace Tarvent::VirtualChannel
