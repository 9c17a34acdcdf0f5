#pragma once

#include "app/ServiceStatus.h"

namespace Tarvent::VirtualChannel {

// Where the service host reports each change of the service's state. Called
// on the host's main thread and on its signal thread, never both at once
// (the host serialises its reports).
class IServiceStatusReporter {
public:
    virtual ~IServiceStatusReporter() = default;
    virtual void report(const ServiceStatus& status) = 0;
};

}  // namespace Tarvent::VirtualChannel
