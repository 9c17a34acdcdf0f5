#pragma once

#include <cstdint>
#include <string>

namespace Tarvent::VirtualChannel {

// What a call reports about its media. Plain value type; any thread.
struct SipCallMediaState {
    std::string codecName;
    std::uint32_t codecClockRate = 0;
    // 0 none, 1 active, 2 local hold, 3 remote hold, 4 error
    std::int32_t mediaState = 0;
    // SIP status of the last transaction of the call
    std::int32_t sipStatus = 0;
    bool srtpActive = false;
    // an early answer to the INVITE carried an SDP body
    bool sdpOffer = false;
    // the other party, as known once the call was answered
    std::string displayName;
    std::string displayNumber;
};

}  // namespace Tarvent::VirtualChannel
