#pragma once

#include <memory>

#include "sip/SipCallMediaState.h"

namespace Tarvent::VirtualChannel {

class SipCall;

// Receives the events of SIP calls (the call service). The state events come
// on the SIP core thread, the media and hold events on the call's own worker
// thread (in the order they happened); no lock of the call is held during any
// of them. An exception thrown here is caught and logged by the call.
class ISipCallCallback {
public:
    // Values of `reason` in onCallTerminated.
    static constexpr int kReasonUnknown = 0;
    static constexpr int kReasonNotFound = 1;
    static constexpr int kReasonBusyHere = 2;

    virtual ~ISipCallCallback() = default;
    virtual void onCallTerminated(std::shared_ptr<SipCall> call, int reason) = 0;
    virtual void onCallConfirmed(std::shared_ptr<SipCall> call) = 0;
    virtual void onCallEarly(std::shared_ptr<SipCall> call) = 0;
    virtual void onCallMediaState(std::shared_ptr<SipCall> call, const SipCallMediaState& mediaState) = 0;
    virtual void onCallHoldStateChanged(std::shared_ptr<SipCall> call, bool isHold) = 0;
};

}  // namespace Tarvent::VirtualChannel
