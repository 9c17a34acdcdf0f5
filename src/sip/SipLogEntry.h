#pragma once

#include <string>

namespace Tarvent::VirtualChannel {

// One log message of the SIP library, as the log writer receives it.
struct SipLogEntry {
    int level = 0;    // the library's level bits (debug 1 ... fatal 32); not used for filtering
    std::string msg;  // "<domain>: <message>", e.g. "mediastreamer: Card 'x' added ..."
};

}  // namespace Tarvent::VirtualChannel
