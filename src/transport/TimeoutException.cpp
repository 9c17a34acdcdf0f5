#include "transport/TimeoutException.h"

#include <string>

namespace Tarvent::VirtualChannel {

TimeoutException::TimeoutException(std::uint64_t id)
    : std::runtime_error("Command timed out: MessageID=" + std::to_string(id)), messageId(id)
{
}

}  // namespace Tarvent::VirtualChannel
