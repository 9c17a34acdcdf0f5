#include "app/ServiceStatus.h"

namespace Tarvent::VirtualChannel {

const char* serviceStateName(ServiceState state)
{
    switch (state) {
    case ServiceState::Stopped:
        return "STOPPED";
    case ServiceState::StartPending:
        return "START_PENDING";
    case ServiceState::StopPending:
        return "STOP_PENDING";
    case ServiceState::Running:
        return "RUNNING";
    }
    return "UNKNOWN";
}

}  // namespace Tarvent::VirtualChannel
