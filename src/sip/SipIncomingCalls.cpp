#include "sip/SipIncomingCalls.h"

#include <algorithm>
#include <string>

#include <linphone++/linphone.hh>

#include "logging/Logger.h"
#include "sip/SipText.h"
#include "util/LogText.h"

namespace Tarvent::VirtualChannel {

namespace {

bool sameParty(const linphone::Address& a, const linphone::Address& b)
{
    return a.getUsername() == b.getUsername() && toLower(a.getDomain()) == toLower(b.getDomain());
}

// Whom an INVITE is for: the account the library chose for it, else its To.
std::shared_ptr<const linphone::Address> calledParty(linphone::Call& call)
{
    // The library of this version names a call's account only through its
    // (deprecated) proxy configuration.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const auto params = call.getParams();
    const auto proxy = params ? params->getProxyConfig() : nullptr;
    const auto chosen = proxy ? proxy->getIdentityAddress() : nullptr;
#pragma GCC diagnostic pop
    if (chosen) {
        return chosen;
    }
    return call.getToAddress();
}

}  // namespace

// The Core's listener; the Core holds it, and it the router (which lives in
// the process-wide stack).
class SipIncomingCalls::Hook : public linphone::CoreListener {
public:
    explicit Hook(SipIncomingCalls& owner) : owner_(owner) {}

    void onCallStateChanged(const std::shared_ptr<linphone::Core>& core, const std::shared_ptr<linphone::Call>& call,
                            linphone::Call::State state, const std::string& /*message*/) override
    {
        if (state != linphone::Call::State::IncomingReceived) {
            return;
        }
        try {
            owner_.dispatch(core, call);
        } catch (const std::exception& error) {
            logError("Failed to dispatch incoming call: what=\"%s\"", logText(error.what()).c_str());
        } catch (...) {
            logError("Failed to dispatch incoming call: what=\"unknown\"");
        }
    }

private:
    SipIncomingCalls& owner_;
};

SipIncomingCalls::SipIncomingCalls() = default;
SipIncomingCalls::~SipIncomingCalls() = default;

void SipIncomingCalls::attach(const std::shared_ptr<linphone::Core>& core)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        takers_.clear();
    }
    core->addListener(std::make_shared<Hook>(*this));
}

void SipIncomingCalls::add(const std::shared_ptr<ISipIncomingCallTaker>& taker)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    takers_.push_back(taker);
}

void SipIncomingCalls::remove(const ISipIncomingCallTaker* taker)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    takers_.erase(std::remove_if(takers_.begin(), takers_.end(),
                                 [taker](const std::weak_ptr<ISipIncomingCallTaker>& entry) {
                                     const auto live = entry.lock();
                                     return !live || live.get() == taker;
                                 }),
                  takers_.end());
}

std::vector<std::shared_ptr<ISipIncomingCallTaker>> SipIncomingCalls::liveTakers()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<ISipIncomingCallTaker>> live;
    live.reserve(takers_.size());
    for (const auto& entry : takers_) {
        if (auto taker = entry.lock()) {
            live.push_back(std::move(taker));
        }
    }
    return live;
}

void SipIncomingCalls::dispatch(const std::shared_ptr<linphone::Core>& core, const std::shared_ptr<linphone::Call>& call)
{
    const std::shared_ptr<const linphone::Address> called = calledParty(*call);
    if (called) {
        for (const auto& taker : liveTakers()) {
            if (sameParty(*called, taker->incomingIdentity())) {
                taker->takeIncomingCall(core, call);
                return;
            }
        }
    }
    const auto to = call->getToAddress();
    logInfo("Incoming call for no account: to=\"%s\"", logText(to ? to->asStringUriOnly() : "").c_str());
    call->decline(linphone::Reason::NotFound);
}

}  // namespace Tarvent::VirtualChannel
