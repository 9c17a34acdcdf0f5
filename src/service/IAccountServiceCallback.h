#pragma once

namespace Tarvent::VirtualChannel {

// The client of the account service (the packet handler): told about new
// incoming calls and registration changes of the engine's accounts. Called on
// the SIP core thread with no lock of the account service held.
class IAccountServiceCallback {
public:
    virtual ~IAccountServiceCallback() = default;
    // `sipMessage` is the whole INVITE text as the SIP stack delivered it.
    virtual void onIncomingCall(int accountId, int callId, int pjsipCallId, const char* sipMessage) = 0;
    // `accountId` is -1 when the account is no longer known to the service.
    virtual void onAccountRegStateChanged(int accountId, bool isConnected, int status, int statusCode) = 0;
};

}  // namespace Tarvent::VirtualChannel
