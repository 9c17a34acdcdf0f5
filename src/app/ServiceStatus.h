#pragma once

#include <cstdint>

namespace Tarvent::VirtualChannel {

// The service's states, numbered as service managers traditionally number them.
enum class ServiceState : std::uint32_t {
    Stopped = 1,
    StartPending = 2,
    StopPending = 3,
    Running = 4,
};

// The one control the service accepts.
constexpr std::uint32_t kServiceAcceptStop = 1;

// One report of the service's state. Pending states carry a check point that
// grows with every pending report (1 for the start, 2 for the first stop);
// final states carry 0.
struct ServiceStatus {
    ServiceState state = ServiceState::Stopped;
    std::uint32_t controlsAccepted = 0;
    std::uint32_t exitCode = 0;
    std::uint32_t checkPoint = 0;
    std::uint32_t waitHintMs = 0;
};

const char* serviceStateName(ServiceState state);

}  // namespace Tarvent::VirtualChannel
