#include "sip/SipConference.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include <linphone++/linphone.hh>
#include <linphone/api/c-call.h>
#include <linphone/core.h>

#include "logging/Logger.h"
#include "sip/SipAccount.h"
#include "sip/SipCall.h"
#include "sip/SipError.h"
#include "sip/SipStack.h"

namespace Tarvent::VirtualChannel {

namespace {

// The library's own tie of the call to an account (the one it takes the
// conference's identity and the member's record from).
// A member without one can't be taken out safely (the library has crashed
// doing that), so such calls never join. A registration being refreshed
// (in progress) still counts as registered.
bool hasAccount(linphone::Call& call, bool registered)
{
    const std::shared_ptr<const linphone::CallParams> params = call.getParams();
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const std::shared_ptr<linphone::ProxyConfig> account = params ? params->getProxyConfig() : nullptr;
    if (!account) {
        return false;
    }
    const linphone::RegistrationState state = account->getState();
#pragma GCC diagnostic pop
    return !registered || state == linphone::RegistrationState::Ok || state == linphone::RegistrationState::Progress;
}

// Core thread. A member's audio is in the mix even while the conference
// re-invites it (its media is reported inactive meanwhile).
bool isMember(const SipCall& call)
{
    const std::shared_ptr<linphone::Call> stackCall = call.getLinphoneCall();
    return stackCall && SipConference::isLibraryMember(*stackCall);
}

const char* const kSharedParty = "Another call has the same remote party: the conference can't tell the two apart";

// Core thread. Whether another call of the Core has the same remote party as
// `call`, as the library compares them: user, host and port of the address.
// The library finds a member's call (and its participant) by that address,
// taking the first call of the Core that matches: with two such calls it
// holds or detaches the wrong one, mixes a call it never made a member, and
// leaves a call pointing at the conference after it deleted it (the next
// look at that call's conference reads freed memory).
bool sharesRemoteParty(linphone::Core& core, linphone::Call& call)
{
    const std::shared_ptr<const linphone::Address> party = call.getRemoteAddress();
    if (!party) {
        return false;
    }
    for (const std::shared_ptr<linphone::Call>& other : core.getCalls()) {
        if (other->cPtr() == call.cPtr()) {
            continue;
        }
        const std::shared_ptr<const linphone::Address> otherParty = other->getRemoteAddress();
        if (otherParty && otherParty->weakEqual(party)) {
            return true;
        }
    }
    return false;
}

// Core thread. The library holds a member it lets go: until the hold is
// through, the call still reports its media active.
bool isBeingHeld(const SipCall& call)
{
    const std::shared_ptr<linphone::Call> stackCall = call.getLinphoneCall();
    if (!stackCall) {
        return false;
    }
    const linphone::Call::State state = stackCall->getState();
    return state == linphone::Call::State::Pausing || state == linphone::Call::State::Paused;
}

// A call on its way to hold (or out) has none, whatever the library says yet.
bool hasAudio(SipCall& call)
{
    return call.isConfirmed() && !call.isHoldPending() && !isBeingHeld(call) &&
           (call.isMediaActive() || isMember(call));
}

// A call that a plain resume of another would put on hold.
bool isRunning(SipCall& call)
{
    return call.isConfirmed() && !call.isLocalHold() && !call.isHoldPending();
}

// Core thread. The call that has the sound devices. The local user enters
// the library's conference with its first member and takes the devices from
// the call that has them, holding it unless it is a member already: so that
// call joins first.
bool isCurrentCall(const std::shared_ptr<linphone::Core>& core, const SipCall& call)
{
    const std::shared_ptr<linphone::Call> current = core ? core->getCurrentCall() : nullptr;
    const std::shared_ptr<linphone::Call> stackCall = call.getLinphoneCall();
    return current && stackCall && current->cPtr() == stackCall->cPtr();
}

int callIdOf(const std::shared_ptr<SipCall>& call)
{
    return call ? call->getPjsipCallId() : -1;
}

// Runs one connection step of a pair; its failure is logged and the caller
// goes on with the next pair.
template <class F>
void runLogged(const char* action, int id1, int id2, F&& step)
{
    std::string reason;
    try {
        step();
        return;
    } catch (const SipError& error) {
        reason = error.reason;
    } catch (const std::exception& error) {
        reason = error.what();
    }
    logError("Exception caught when %s conference calls: pjsipCallId1=%d; pjsipCallId2=%d; reason=\"%s\"", action, id1,
             id2, reason.c_str());
}

}  // namespace

SipConference::SipConference(SipStack& stack) : stack_(stack) {}

SipConference::~SipConference() = default;

bool SipConference::isLibraryMember(linphone::Call& call)
{
    // Compared, never followed: a call may point at a conference that the
    // library has deleted since (see sharesRemoteParty), and the C++ object
    // of a conference is looked up through the conference itself.
    LinphoneCall* const stackCall = call.cPtr();
    LinphoneConference* const conference = linphone_call_get_conference(stackCall);
    return conference != nullptr && conference == linphone_core_get_conference(linphone_call_get_core(stackCall));
}

template <class F>
void SipConference::onCoreThread(F&& work)
{
    bool ran = false;
    if (stack_.isStarted()) {
        try {
            stack_.runOnCore([&](const CorePtr& core) {
                ran = true;
                work(core);
            });
        } catch (const SipError&) {
            // Refused while a stop is under way, the work waits for nobody:
            // the core thread still holds the calls, whose library objects
            // no other thread may touch. Once the stack is down there are
            // no calls any more, and the work runs here.
            if (ran || stack_.isStarted()) {
                throw;
            }
        }
    }
    if (!ran) {
        work(CorePtr());
    }
}

void SipConference::setRunning(bool running, const Accounts& accounts)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        accounts_ = accounts;
    }
    stack_.setConferenceRunning(running);
}

SipConference::Calls SipConference::getCalls()
{
    if (!stack_.isConferenceRunning()) {
        return {};
    }
    Accounts accounts;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        accounts = accounts_;
    }
    Calls calls;
    for (const std::shared_ptr<SipAccount>& account : accounts) {
        if (!account) {
            continue;
        }
        for (const std::shared_ptr<SipCall>& call : account->getCalls()) {
            if (call && call->isConfirmed()) {
                calls.push_back(call);
            }
        }
    }
    return calls;
}

void SipConference::connectCurrentFirst(const CorePtr& core, const std::shared_ptr<SipCall>& call,
                                        const Calls& calls)
{
    for (const std::shared_ptr<SipCall>& running : calls) {
        if (running && running != call && isCurrentCall(core, *running)) {
            runLogged("connecting", running->getPjsipCallId(), call->getPjsipCallId(),
                      [&]() { connect(core, *running); });
        }
    }
}

void SipConference::takeOffHold(const CorePtr& core, SipAccount& account, const Calls& calls)
{
    // Resuming a held call would make the library hold the call that runs
    // (or take the local user out of its conference); a held call that
    // joins the conference is resumed into it instead.
    for (const std::shared_ptr<SipCall>& call : account.getCalls()) {
        if (!call || !call->isConfirmed() || !call->isLocalHold()) {
            continue;
        }
        connectCurrentFirst(core, call, calls);
        runLogged("connecting", call->getPjsipCallId(), -1, [&]() { connect(core, *call); });
    }
}

bool SipConference::resume(const std::shared_ptr<SipCall>& call)
{
    bool joined = false;
    onCoreThread([&](const CorePtr& core) {
        if (!core || !call || !stack_.isConferenceRunning()) {
            return;
        }
        const Calls calls = getCalls();
        const bool inConference = std::find(calls.begin(), calls.end(), call) != calls.end();
        const bool othersRun = std::any_of(calls.begin(), calls.end(), [&](const std::shared_ptr<SipCall>& other) {
            return other && other != call && isRunning(*other);
        });
        if (!inConference || !othersRun) {
            return;
        }
        const std::shared_ptr<linphone::Call> stackCall = call->getLinphoneCall();
        if (stackCall && sharesRemoteParty(*core, *stackCall)) {
            // It can't join: it comes off hold as a plain call.
            logInfo("Call can't join the conference: pjsipCallId=%d; reason=\"%s\"", callIdOf(call), kSharedParty);
            return;
        }
        logInfo("Joining conference: pjsipCallId=%d; allCalls.size()=%d", callIdOf(call),
                static_cast<int>(calls.size()));
        connectCurrentFirst(core, call, calls);
        connect(core, *call);
        joined = true;
    });
    return joined;
}

void SipConference::start(const Accounts& accounts)
{
    logInfo("Starting conference");
    onCoreThread([&](const CorePtr& core) {
        if (stack_.isConferenceRunning()) {
            return;
        }
        setRunning(true, accounts);
        for (const std::shared_ptr<SipAccount>& account : accounts) {
            if (!account) {
                continue;
            }
            const Calls before = getCalls();
            if (before.size() > 1) {
                takeOffHold(core, *account, before);
            } else {
                account->unholdAllCalls();
            }
            logDebug("Connecting conference audio");
            const Calls calls = getCalls();
            for (const std::shared_ptr<SipCall>& call : calls) {
                join(call, calls);
            }
        }
    });
}

void SipConference::stop()
{
    logInfo("Stopping conference");
    onCoreThread([&](const CorePtr& /*core*/) {
        if (!stack_.isConferenceRunning()) {
            return;
        }
        Accounts accounts;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            accounts = accounts_;
        }
        const Calls calls = getCalls();
        // From here on the calls' own events join nothing.
        setRunning(false, {});
        logDebug("Disconnecting conference audio");
        const bool holdAll = calls.size() > 1;
        if (holdAll) {
            // The library refuses to hold a member, but holds each member it
            // lets go, except a last one that would be left alone with the
            // local user (that one goes on as a plain call). With the local
            // user out first, every member is held on the way out.
            leaveAsLocalUser();
        }
        for (const std::shared_ptr<SipCall>& call : calls) {
            disconnectFromAll(call, calls);
        }
        endConference();
        if (holdAll) {
            for (const std::shared_ptr<SipAccount>& account : accounts) {
                if (account) {
                    account->holdAllCalls(nullptr);
                }
            }
        }
    });
}

void SipConference::reset()
{
    if (!stack_.isConferenceRunning()) {
        return;
    }
    logInfo("Stopping conference");
    onCoreThread([&](const CorePtr& /*core*/) {
        setRunning(false, {});
        endConference();
    });
}

void SipConference::join(const std::shared_ptr<SipCall>& call)
{
    join(call, getCalls());
}

void SipConference::leave(const std::shared_ptr<SipCall>& call)
{
    leave(call, getCalls());
}

void SipConference::join(const std::shared_ptr<SipCall>& call, const Calls& allCalls)
{
    logInfo("Joining conference: pjsipCallId=%d; allCalls.size()=%d", callIdOf(call),
            static_cast<int>(allCalls.size()));
    if (!call) {
        return;
    }
    onCoreThread([&](const CorePtr& core) {
        if (!stack_.isConferenceRunning()) {
            return;
        }
        if (leaving_ > 0) {
            logDebug("Joining conference skipped while a call leaves: pjsipCallId=%d", callIdOf(call));
            return;
        }
        for (const std::shared_ptr<SipCall>& other : allCalls) {
            if (!other || other == call || !hasAudio(*call) || !hasAudio(*other)) {
                continue;
            }
            const int id1 = call->getPjsipCallId();
            const int id2 = other->getPjsipCallId();
            logDebug("Connecting conference calls: pjsipCallId1=%d; pjsipCallId2=%d", id1, id2);
            runLogged("connecting", id1, id2, [&]() {
                if (isCurrentCall(core, *other)) {
                    connect(core, *other);
                }
                connect(core, *call);
                connect(core, *other);
            });
        }
    });
}

void SipConference::leave(const std::shared_ptr<SipCall>& call, const Calls& allCalls)
{
    logInfo("Leaving conference: pjsipCallId=%d; allCalls.size()=%d", callIdOf(call),
            static_cast<int>(allCalls.size()));
    if (!call) {
        return;
    }
    onCoreThread([&](const CorePtr& /*core*/) {
        if (stack_.isConferenceRunning()) {
            disconnectFromAll(call, allCalls);
        }
    });
}

void SipConference::disconnectFromAll(const std::shared_ptr<SipCall>& call, const Calls& allCalls)
{
    ++leaving_;
    struct LeaveDone {
        std::atomic<int>& depth;
        ~LeaveDone() { --depth; }
    } done{leaving_};
    const auto disconnectLogged = [this, &call](int otherId) {
        runLogged("disconnecting", call->getPjsipCallId(), otherId, [&]() { disconnect(*call); });
    };
    for (const std::shared_ptr<SipCall>& other : allCalls) {
        if (!other || other == call || !hasAudio(*call) || !hasAudio(*other)) {
            continue;
        }
        logDebug("Disconnecting conference calls: pjsipCallId1=%d; pjsipCallId2=%d", call->getPjsipCallId(),
                 other->getPjsipCallId());
        disconnectLogged(other->getPjsipCallId());
    }
    // The library mixes members as a whole: a member whose audio is no
    // longer active (held, ending) leaves as well.
    disconnectLogged(-1);
}

void SipConference::connect(const CorePtr& core, SipCall& call)
{
    if (!core) {
        throw std::runtime_error("SIP stack is not running");
    }
    const std::shared_ptr<linphone::Call> stackCall = call.getLinphoneCall();
    if (!stackCall) {
        throw std::runtime_error("The call has no SIP session");
    }
    if (isLibraryMember(*stackCall)) {
        return;
    }
    if (!hasAccount(*stackCall, true)) {
        throw std::runtime_error("Only calls of registered accounts can join the conference");
    }
    if (sharesRemoteParty(*core, *stackCall)) {
        throw std::runtime_error(kSharedParty);
    }
    const std::shared_ptr<linphone::Conference> conference = conferenceOf(core);
    // The library's status here is not the usual 0 for success: ask the call.
    const linphone::Status status = conference->addParticipant(stackCall);
    if (!isLibraryMember(*stackCall)) {
        OVRA_THROW_SIP_ERROR(status, "Conference::addParticipant", "The conference refused the call");
    }
}

void SipConference::disconnect(SipCall& call)
{
    const std::shared_ptr<linphone::Call> stackCall = call.getLinphoneCall();
    if (!stackCall || !isMember(call)) {
        return;
    }
    if (!hasAccount(*stackCall, false)) {
        throw std::runtime_error("The call's account is gone: the call stays in the conference until it ends");
    }
    const linphone::Status status = stackCall->getCore()->removeFromConference(stackCall);
    if (isMember(call)) {
        OVRA_THROW_SIP_ERROR(status, "Core::removeFromConference", "The conference did not let the call go");
    }
}

std::shared_ptr<linphone::Conference> SipConference::conferenceOf(const CorePtr& core)
{
    // The library ends its conference by itself when one member is left (that
    // member goes on as a plain call): then a new one is made.
    std::shared_ptr<linphone::Conference> conference = core->getConference();
    if (conference) {
        return conference;
    }
    const std::shared_ptr<linphone::ConferenceParams> params = core->createConferenceParams();
    params->enableAudio(true);
    params->enableVideo(false);
    params->enableChat(false);
    params->enableLocalParticipant(true);
    conference = core->createConferenceWithParams(params);
    if (!conference) {
        OVRA_THROW_SIP_ERROR(-1, "Core::createConferenceWithParams", "Failed to create the conference");
    }
    return conference;
}

void SipConference::leaveAsLocalUser()
{
    onCoreThread([](const CorePtr& core) {
        if (!core) {
            return;
        }
        const std::shared_ptr<linphone::Conference> conference = core->getConference();
        if (conference && conference->isIn()) {
            conference->leave();
        }
    });
}

void SipConference::endConference()
{
    onCoreThread([](const CorePtr& core) {
        if (!core) {
            return;
        }
        const std::shared_ptr<linphone::Conference> conference = core->getConference();
        if (conference) {
            conference->terminate();
        }
    });
}

}  // namespace Tarvent::VirtualChannel
