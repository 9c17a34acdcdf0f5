#pragma once

#include <string>

namespace Tarvent::VirtualChannel {

// One SIP header to add to a request or an answer.
struct SipHeader {
    std::string hName;
    std::string hValue;
};

}  // namespace Tarvent::VirtualChannel
