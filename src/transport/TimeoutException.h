#pragma once

#include <cstdint>
#include <stdexcept>

namespace Tarvent::VirtualChannel {

// A command whose answer did not come in time: "Command timed out: MessageID=<id>".
// Immutable; any thread.
class TimeoutException : public std::runtime_error {
public:
    explicit TimeoutException(std::uint64_t messageId);

    const std::uint64_t messageId;
};

}  // namespace Tarvent::VirtualChannel
