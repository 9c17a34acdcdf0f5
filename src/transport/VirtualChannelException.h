#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace Tarvent::VirtualChannel {

// A send the transmitter refuses. Codes: 0 not running, 1 payload too large
// or of negative size. Immutable; any thread.
class VirtualChannelException : public std::runtime_error {
public:
    static constexpr std::int32_t kNotRunning = 0;
    static constexpr std::int32_t kInvalidPayload = 1;

    VirtualChannelException(const std::string& message, std::int32_t errorCode)
        : std::runtime_error(message), code(errorCode)
    {
    }

    const std::int32_t code;
};

}  // namespace Tarvent::VirtualChannel
