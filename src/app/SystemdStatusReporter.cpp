#include "app/SystemdStatusReporter.h"

#include "logging/Logger.h"

namespace Tarvent::VirtualChannel {

void SystemdStatusReporter::report(const ServiceStatus& status)
{
    const char* message = nullptr;
    if (status.state == ServiceState::Running) {
        message = "READY=1";
    } else if (status.state == ServiceState::StopPending) {
        message = "STOPPING=1";
    } else {
        return;
    }
    if (const int error = notifier_.notify(message); error != 0) {
        logWarning("Failed to notify the service manager: state=%s; errno=%d", serviceStateName(status.state), error);
    }
}

}  // namespace Tarvent::VirtualChannel
