#pragma once

#include <memory>

namespace linphone {
class Address;
class Call;
class Core;
}  // namespace linphone

namespace Tarvent::VirtualChannel {

// What takes the incoming calls of one identity (an account's core-thread
// part). SipIncomingCalls hands each new INVITE to exactly one taker.
// Core thread only.
class ISipIncomingCallTaker {
public:
    virtual ~ISipIncomingCallTaker() = default;
    // The identity whose calls it takes; fixed while it is registered.
    virtual const linphone::Address& incomingIdentity() const = 0;
    // The call is the taker's from here on: it answers or ends it. Must not
    // throw.
    virtual void takeIncomingCall(const std::shared_ptr<linphone::Core>& core,
                                  const std::shared_ptr<linphone::Call>& call) = 0;
};

}  // namespace Tarvent::VirtualChannel
