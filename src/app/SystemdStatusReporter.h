#pragma once

#include "app/IServiceStatusReporter.h"
#include "platform/SystemdNotifier.h"

namespace Tarvent::VirtualChannel {

// Tells systemd when the service is ready (RUNNING) and when it begins to stop
// (STOP_PENDING); the other states need no message, since the manager sees the
// start begin and the process end. Does nothing when not run by systemd as a
// notify service. Any thread.
class SystemdStatusReporter : public IServiceStatusReporter {
public:
    void report(const ServiceStatus& status) override;

private:
    SystemdNotifier notifier_;
};

}  // namespace Tarvent::VirtualChannel
