#pragma once

#include <string>

namespace Tarvent::VirtualChannel {

struct LogRecord;

// Turns a record into the text of one log line (line break included).
class ILayout {
public:
    virtual ~ILayout() = default;
    virtual std::string format(const LogRecord& record) = 0;
};

}  // namespace Tarvent::VirtualChannel
