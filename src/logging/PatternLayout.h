#pragma once

#include <string>

#include "logging/ILayout.h"
#include "platform/SystemTime.h"

namespace Tarvent::VirtualChannel {

// "YYYY-MM-DD hh:mm:ss.mmm <thread id hex> <level letter> <message>\n"
class PatternLayout : public ILayout {
public:
    std::string format(const LogRecord& record) override;
};

// The letter of a level: position `level` of "DIWEF-G-"; '?' outside 0..7.
char logLevelLetter(int level);

// "%04d-%02d-%02d %02d:%02d:%02d.%03d"; the day of the week is not written.
std::string formatTimestamp(const SystemTime& time);

}  // namespace Tarvent::VirtualChannel
