#pragma once

#include <string>

#include "sip/SipCallMediaState.h"

namespace Tarvent::VirtualChannel {

// The client of the call service (the packet handler): the events of the
// engine's calls, named by account id, call id and the stack's call index.
// Called with no lock of the call service held: the state events on the SIP
// core thread, the media and hold events on the call's worker thread.
class ICallServiceCallback {
public:
    virtual ~ICallServiceCallback() = default;
    virtual void onCallEarly(int accountId, int callId, int pjsipCallId, std::string routeName) = 0;
    virtual void onCallConfirmed(int accountId, int callId, int pjsipCallId) = 0;
    // `reason` as the SIP call reports it (ISipCallCallback::kReason...).
    virtual void onCallTerminated(int accountId, int callId, int pjsipCallId, int reason) = 0;
    virtual void onCallMediaState(int accountId, int callId, const SipCallMediaState& mediaState) = 0;
    virtual void onCallHoldStateChanged(int accountId, int callId, int pjsipCallId, bool isHold) = 0;
};

}  // namespace Tarvent::VirtualChannel
