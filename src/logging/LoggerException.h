#pragma once

#include <stdexcept>
#include <string>

namespace Tarvent::VirtualChannel {

// A log folder that cannot be set up for the FileAppender.
class LoggerException : public std::runtime_error {
public:
    explicit LoggerException(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace Tarvent::VirtualChannel
