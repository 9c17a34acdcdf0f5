#pragma once

#include <memory>

namespace Tarvent::VirtualChannel {

class SipAccount;
class SipCall;

// The owner of SIP accounts (the account service). Both operations are
// called on the SIP core thread with no lock of the account held; they may
// call account and call operations (those run inline there).
class ISipAccountCallback {
public:
    virtual ~ISipAccountCallback() = default;
    // A new incoming call, already answered 180 or 486 (and auto-answered
    // where the INVITE asked for it). `sipMessage` is the INVITE's text.
    // A throw tells the account that the call was not taken over: the
    // account then ends the call and forgets it.
    virtual void onIncomingCall(std::shared_ptr<SipAccount> account, std::shared_ptr<SipCall> call,
                                const char* sipMessage) = 0;
    // A new incoming call, before the account answers it (so before any of
    // its events): the owner can give it an id here. A throw counts as for
    // onIncomingCall.
    virtual void onIncomingCallArrived(std::shared_ptr<SipAccount> /*account*/, std::shared_ptr<SipCall> /*call*/) {}
    // A registration transaction ended. `status` is 0 on success and
    // 170000 + the SIP code of a failure; `statusCode` the SIP code (200 when
    // registered or unregistered); `isConnected`: registered now.
    virtual void onRegState(std::shared_ptr<SipAccount> account, bool isConnected, int status, int statusCode) = 0;
};

}  // namespace Tarvent::VirtualChannel
