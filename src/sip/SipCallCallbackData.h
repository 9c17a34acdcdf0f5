#pragma once

#include <cstdint>

#include "sip/SipCallMediaState.h"

namespace Tarvent::VirtualChannel {

// One record of a call's worker queue. Plain value type.
struct SipCallCallbackData {
    static constexpr std::int32_t kMediaState = 0;
    static constexpr std::int32_t kHoldState = 1;

    std::int32_t kind = kMediaState;
    SipCallMediaState mediaState;  // kind 0 only
    bool isHold = false;           // kind 1 only
};

}  // namespace Tarvent::VirtualChannel
