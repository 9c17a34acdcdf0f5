#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "sip/ISipIncomingCallTaker.h"

namespace Tarvent::VirtualChannel {

// Gives every new incoming call of the Core to exactly one taker: the first
// registered one (in the order the accounts were made) whose identity the
// call is for. An INVITE that no taker is for is refused with 404 at once,
// so that it neither rings unanswered nor holds one of the Core's call
// places; one that several takers are for (two accounts of the same user)
// is still one call, of the oldest account.
// Threads: everything on the core thread. `mutex_` guards `takers_` and is a
// leaf lock: no call goes out while it is held.
class SipIncomingCalls {
public:
    SipIncomingCalls();
    ~SipIncomingCalls();

    SipIncomingCalls(const SipIncomingCalls&) = delete;
    SipIncomingCalls& operator=(const SipIncomingCalls&) = delete;

    // Once per Core, after its creation: starts afresh with no taker.
    void attach(const std::shared_ptr<linphone::Core>& core);
    // Held weakly: a taker that is gone takes nothing.
    void add(const std::shared_ptr<ISipIncomingCallTaker>& taker);
    // No effect for a taker that is not registered.
    void remove(const ISipIncomingCallTaker* taker);

private:
    class Hook;

    void dispatch(const std::shared_ptr<linphone::Core>& core, const std::shared_ptr<linphone::Call>& call);
    std::vector<std::shared_ptr<ISipIncomingCallTaker>> liveTakers();

    std::mutex mutex_;
    std::vector<std::weak_ptr<ISipIncomingCallTaker>> takers_;
};

}  // namespace Tarvent::VirtualChannel
