#include "sip/SipAccount.h"

#include <stdexcept>
#include <utility>

#include <linphone++/linphone.hh>

#include "logging/Logger.h"
#include "sip/ISipIncomingCallTaker.h"
#include "sip/ISipMediaHolder.h"
#include "sip/SipAudioDeviceManager.h"
#include "sip/SipCall.h"
#include "sip/SipCredentials.h"
#include "sip/SipError.h"
#include "sip/SipIncomingCalls.h"
#include "sip/SipInviteText.h"
#include "sip/SipRegistrarProbe.h"
#include "sip/SipSideProvider.h"
#include "sip/SipStack.h"
#include "sip/SipText.h"
#include "sip/SipUriText.h"

namespace Tarvent::VirtualChannel {

namespace {

// A registration that failed without a SIP answer counts as timed out.
constexpr int kTimeoutCode = 408;

std::string checkedText(const std::string& text, const char* what)
{
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) {
            throw std::runtime_error(std::string(what) + " is invalid: control character");
        }
    }
    return text;
}

}  // namespace

// The core thread's part of an account: the stack's account, its
// credentials, the listener on the account, and the taker of its incoming
// calls. Core thread only, except construction and destruction (when it
// holds nothing of the stack any more).
class SipAccount::Link : public linphone::AccountListener,
                         public ISipIncomingCallTaker,
                         public ISipMediaHolder,
                         public std::enable_shared_from_this<SipAccount::Link> {
public:
    Link(std::weak_ptr<SipAccount> owner, std::string username, std::string realm)
        : owner_(std::move(owner)), username_(std::move(username)), realm_(std::move(realm))
    {
    }

    // `probe`: null when the account's registrar is not to be probed. The
    // account has taken the identity's credentials (see SipCredentials).
    void attach(const std::shared_ptr<linphone::Core>& core, const std::shared_ptr<linphone::Account>& account,
                std::shared_ptr<SipRegistrarProbe> probe)
    {
        probe_ = std::move(probe);
        account_ = account;
        holdsCredentials_ = true;
        identity_ = account->getParams()->getIdentityAddress()->clone();
        account->addListener(shared_from_this());
        SipStack::getInstance().getIncomingCalls().add(shared_from_this());
        SipAudioDeviceManager::getInstance().registerMediaHolder(core, shared_from_this());
    }

    void detach(const std::shared_ptr<linphone::Core>& core)
    {
        if (!account_ || leaving_) {
            return;
        }
        stopProbe();
        // From now on its calls are nobody's: refused, not rung.
        SipStack::getInstance().getIncomingCalls().remove(this);
        // Removed while registered, the account would be unregistered only on
        // a later iteration, and not at all when the stack stops right after
        // (as in every teardown): the binding would stay at the registrar
        // until it expires. It unregisters first and goes once that ended.
        if (account_->getState() == linphone::RegistrationState::Ok) {
            const auto params = account_->getParams()->clone();
            params->enableRegister(false);
            account_->setParams(params);
            leaving_ = true;
            self_ = shared_from_this();
            // Its credentials serve the unregistration, and no longer hold a
            // new account of the identity to their password.
            SipStack::getInstance().getCredentials().leave(account_, username_, realm_);
            return;
        }
        remove(*core);
    }

    const std::shared_ptr<linphone::Account>& account() const { return account_; }

    void onRegistrationStateChanged(const std::shared_ptr<linphone::Account>& account,
                                    linphone::RegistrationState state, const std::string& /*message*/) override
    {
        using linphone::RegistrationState;
        if (leaving_) {
            // Never reported: the owner has removed the account already.
            if ((state == RegistrationState::Cleared || state == RegistrationState::Failed) && account_) {
                // Not inside the callback: the library goes on to hand the
                // account to the listeners after this one.
                try {
                    SipStack::getInstance().postToCore(
                        [link = shared_from_this()](const SipCoreThread::CorePtr& core) { link->remove(*core); });
                } catch (const SipError&) {
                    // The stack is stopping: the Core takes the account with it.
                }
            }
            return;
        }
        if (state == RegistrationState::Ok) {
            startProbe();
        } else {
            stopProbe();
        }
        if (state != RegistrationState::Ok && state != RegistrationState::Failed &&
            state != RegistrationState::Cleared) {
            return;
        }
        const std::shared_ptr<SipAccount> owner = owner_.lock();
        if (!owner) {
            return;
        }
        int code = 200;
        if (state == RegistrationState::Failed) {
            const auto error = account->getErrorInfo();
            code = error && error->getProtocolCode() > 0 ? error->getProtocolCode() : kTimeoutCode;
        }
        try {
            owner->onRegistrationEnded(state == RegistrationState::Ok, state == RegistrationState::Cleared, code);
        } catch (...) {
            logError("Failed to report registration state: idUri=\"%s\"", owner->getIdUri().c_str());
        }
    }

    const linphone::Address& incomingIdentity() const override { return *identity_; }

    void takeIncomingCall(const std::shared_ptr<linphone::Core>& core,
                          const std::shared_ptr<linphone::Call>& call) override
    {
        if (const std::shared_ptr<SipAccount> owner = owner_.lock()) {
            owner->onIncomingCall(core, call);
        } else {
            // The account is being destroyed: as if it were gone already.
            call->decline(linphone::Reason::NotFound);
        }
    }

    void releaseMedia() override
    {
        // The Core goes down and takes the credentials with it.
        stopProbe();
        account_.reset();
        holdsCredentials_ = false;
        self_.reset();
    }

    // From the probe: the registrar lost our binding or does not answer.
    // Not inside the probe's answer: the library is in the middle of it.
    void onProbe(SipRegistrarProbe::Verdict verdict, int status)
    {
        using Verdict = SipRegistrarProbe::Verdict;
        if (verdict != Verdict::Lost && verdict != Verdict::Unanswered) {
            return;
        }
        stopProbe();
        try {
            SipStack::getInstance().postToCore([weak = weak_from_this(), status](const SipCoreThread::CorePtr&) {
                if (const std::shared_ptr<Link> link = weak.lock()) {
                    link->registerAgain(status);
                }
            });
        } catch (const SipError&) {
            // The stack is stopping: nothing is left to register with.
        }
    }

private:
    void registerAgain(int status)
    {
        if (!account_ || leaving_ || account_->getState() != linphone::RegistrationState::Ok) {
            return;  // registering, unregistered or removed meanwhile: that tells
        }
        if (const std::shared_ptr<SipAccount> owner = owner_.lock()) {
            try {
                owner->onRegistrationLost(status);
            } catch (...) {
                logError("Failed to report registration state: idUri=\"%s\"", owner->getIdUri().c_str());
            }
        }
        // The refresh registers the account anew; its end is reported as usual.
        account_->refreshRegister();
    }

    void startProbe()
    {
        const std::shared_ptr<SipSideProvider>& side = SipStack::getInstance().getSideProvider();
        if (probe_ && side->attached()) {
            probe_->start(side->mainLoop());
        }
    }

    void stopProbe()
    {
        if (probe_) {
            probe_->stop();
        }
    }

    void remove(linphone::Core& core)
    {
        // The shares dropped below may be the last but this one.
        const std::shared_ptr<Link> keep = shared_from_this();
        stopProbe();
        self_.reset();
        if (!account_) {
            return;  // the stack's stop took it already
        }
        account_->removeListener(keep);
        core.removeAccount(account_);
        // Left behind, the credentials would be found (and fail) before
        // those of a new account of the same user; the identity's other
        // accounts keep them.
        if (holdsCredentials_) {
            holdsCredentials_ = false;
            SipStack::getInstance().getCredentials().drop(core, account_, username_, realm_, leaving_);
        }
        account_.reset();
        SipAudioDeviceManager::getInstance().unregisterMediaHolder(this);
    }

    const std::weak_ptr<SipAccount> owner_;
    const std::string username_;  // the identity whose credentials it holds
    const std::string realm_;
    std::shared_ptr<linphone::Account> account_;
    bool holdsCredentials_ = false;
    // Unregistering on its way out: the owner may be gone, so the link keeps
    // itself alive until the account is removed or the stack stops.
    bool leaving_ = false;
    std::shared_ptr<Link> self_;
    std::shared_ptr<linphone::Address> identity_;
    std::shared_ptr<SipRegistrarProbe> probe_;  // UDP accounts only
};

std::shared_ptr<SipAccount> SipAccount::create(ISipAccountCallback* accountCallback, ISipCallCallback* callCallback,
                                               const AccountData& data)
{
    SipStack& stack = SipStack::getInstance();
    stack.ensureThreadRegistered();
    const auto account = std::make_shared<SipAccount>(Passkey{}, accountCallback, callCallback, data);
    account->link = std::make_shared<Link>(account, data.username, data.realm);
    logInfo("Creating SIP account on SIP stack: idUri=\"%s\";", account->idUri.c_str());
    stack.runOnCore([&](const std::shared_ptr<linphone::Core>& core) {
        const std::shared_ptr<linphone::Factory> factory = linphone::Factory::get();
        const std::shared_ptr<linphone::Address> identity = factory->createAddress(account->idUri);
        const std::shared_ptr<linphone::Address> server = factory->createAddress(account->registrarUri);
        if (!identity || !server) {
            OVRA_THROW_SIP_ERROR(-1, "SipAccount", "Invalid account address: idUri=\"" + account->idUri + "\"");
        }
        const std::shared_ptr<linphone::AccountParams> params = core->createAccountParams();
        checkStatus(params->setIdentityAddress(identity), "AccountParams::setIdentityAddress");
        checkStatus(params->setServerAddress(server), "AccountParams::setServerAddress");
        params->setRoutesAddresses({});
        params->enableOutboundProxy(false);
        params->setExpires(kRegistrationExpires);
        params->enablePublish(false);
        params->enableRegister(true);
        const std::shared_ptr<linphone::Account> stackAccount = core->createAccount(params);
        if (!stackAccount) {
            OVRA_THROW_SIP_ERROR(-1, "Core::createAccount", "The stack refused the account: idUri=\"" +
                                                                 account->idUri + "\"");
        }
        SipCredentials& credentials = SipStack::getInstance().getCredentials();
        credentials.take(*core, stackAccount, data.username, data.realm, data.password);
        try {
            checkStatus(core->addAccount(stackAccount), "Core::addAccount");
        } catch (...) {
            credentials.drop(*core, stackAccount, data.username, data.realm, false);
            throw;
        }
        std::shared_ptr<SipRegistrarProbe> probe;
        if (account->transportSuffix.empty()) {
            probe = std::make_shared<SipRegistrarProbe>(
                SipStack::getInstance().getSideProvider(), SipStack::getInstance().getDialogWatch(), account->idUri,
                account->registrarUri,
                [weak = std::weak_ptr<Link>(account->link)](SipRegistrarProbe::Verdict verdict, int status) {
                    if (const std::shared_ptr<Link> link = weak.lock()) {
                        link->onProbe(verdict, status);
                    }
                });
        }
        account->link->attach(core, stackAccount, std::move(probe));
    });
    return account;
}

void SipAccount::checkStatus(int status, const char* operation)
{
    if (status != 0) {
        OVRA_THROW_SIP_ERROR(status, operation, std::string(operation) + " failed");
    }
}

SipAccount::SipAccount(Passkey, ISipAccountCallback* accountCallbackValue, ISipCallCallback* callCallbackValue,
                       const AccountData& dataValue)
    : accountCallback(accountCallbackValue), callCallback(callCallbackValue), data(dataValue)
{
    userPart = SipUriText::escapeUser(data.username, "User name");
    SipUriText::checkHost(data.realm, "Realm");
    checkedText(data.password, "Password");
    const std::string transport = toLower(data.transport);
    int port = 0;
    if (transport == "tcp") {
        transportSuffix = ";transport=tcp";
        port = 5060;
    } else if (transport == "tls") {
        transportSuffix = ";transport=tls";
        port = 5061;
        srtp = true;
    }
    idUri = "sip:" + userPart + "@" + data.realm;
    // A realm that names its port keeps it; UDP leaves the port to the
    // server's address records.
    registrarUri = "sip:" + data.realm;
    if (port != 0 && !SipUriText::hasPort(data.realm)) {
        registrarUri += ":" + std::to_string(port);
    }
    registrarUri += transportSuffix;
    contactRewrite = false;
}

SipAccount::~SipAccount()
{
    try {
        shutdown();
    } catch (...) {
        // The stack is gone or going: the Core releases the account itself.
    }
}

std::shared_ptr<SipCall> SipAccount::createCall(const char* phoneNumber)
{
    SipStack::getInstance().ensureThreadRegistered();
    const std::string user = SipUriText::escapeUser(phoneNumber != nullptr ? phoneNumber : "", "Phone number");
    const std::string destination = "sip:" + user + "@" + data.realm + transportSuffix;
    auto call = std::make_shared<SipCall>(callCallback, shared_from_this(), -1, "");
    call->setDestinationUri(destination.c_str());
    return call;
}

void SipAccount::addCall(const std::shared_ptr<SipCall>& call)
{
    SipStack::getInstance().ensureThreadRegistered();
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    calls[call->getPjsipCallId()] = call;
}

void SipAccount::removeCall(const std::shared_ptr<SipCall>& call)
{
    std::shared_ptr<SipCall> removed;  // dropped after the lock is released
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    const auto found = calls.find(call->getPjsipCallId());
    // Call indexes are reused: the entry may hold a newer call by now.
    if (found != calls.end() && found->second == call) {
        removed = std::move(found->second);
        calls.erase(found);
    }
}

std::shared_ptr<SipCall> SipAccount::findCall(int pjsipCallId)
{
    SipStack::getInstance().ensureThreadRegistered();
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    const auto found = calls.find(pjsipCallId);
    return found != calls.end() ? found->second : nullptr;
}

std::vector<std::shared_ptr<SipCall>> SipAccount::getCalls()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    std::vector<std::shared_ptr<SipCall>> result;
    result.reserve(calls.size());
    for (const auto& entry : calls) {
        result.push_back(entry.second);
    }
    return result;
}

void SipAccount::setRegistration(bool renew)
{
    SipStack::getInstance().ensureThreadRegistered();
    SipStack::getInstance().runOnCore([&](const std::shared_ptr<linphone::Core>&) {
        const std::shared_ptr<linphone::Account> account = link->account();
        if (!account) {
            OVRA_THROW_SIP_ERROR(-1, "SipAccount::setRegistration", "The account was removed: idUri=\"" + idUri + "\"");
        }
        const std::shared_ptr<const linphone::AccountParams> current = account->getParams();
        if (renew && current->registerEnabled()) {
            account->refreshRegister();
            return;
        }
        const std::shared_ptr<linphone::AccountParams> params = current->clone();
        params->enableRegister(renew);
        checkStatus(account->setParams(params), "Account::setParams");
    });
}

void SipAccount::updatePassword(const std::string& newPassword)
{
    SipStack::getInstance().ensureThreadRegistered();
    checkedText(newPassword, "Password");
    SipStack::getInstance().runOnCore([&](const std::shared_ptr<linphone::Core>& core) {
        const std::shared_ptr<linphone::Account> account = link->account();
        if (!account || isRemoved()) {
            OVRA_THROW_SIP_ERROR(-1, "SipAccount::updatePassword", "The account was removed: idUri=\"" + idUri + "\"");
        }
        // The identity's other accounts answer their next challenge with it too.
        if (!SipStack::getInstance().getCredentials().change(*core, data.username, data.realm, newPassword)) {
            return;
        }
        account->refreshRegister();
    });
}

void SipAccount::shutdown()
{
    SipStack::getInstance().ensureThreadRegistered();
    {
        const std::lock_guard<std::recursive_mutex> lock(mutex);
        if (removed || !link) {
            return;
        }
        removed = true;
    }
    SipStack::getInstance().runOnCore([&](const std::shared_ptr<linphone::Core>& core) { link->detach(core); });
}

bool SipAccount::isRemoved()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    return removed;
}

void SipAccount::onRegistrationEnded(bool ok, bool cleared, int sipCode)
{
    const bool isConnected = ok && !cleared;
    const int status = ok || cleared ? 0 : kSipStatusBase + sipCode;
    reportRegistration(isConnected, status, sipCode);
}

void SipAccount::reportRegistration(bool isConnected, int status, int sipCode)
{
    logInfo("Registration state: idUri=\"%s\"; isConnected=%d; status=%d; statusCode=%d", idUri.c_str(),
            isConnected ? 1 : 0, status, sipCode);
    // The last unregistration of an account being destroyed reaches nobody.
    const std::shared_ptr<SipAccount> self = weak_from_this().lock();
    if (accountCallback != nullptr && self) {
        accountCallback->onRegState(self, isConnected, status, sipCode);
    }
}

void SipAccount::onRegistrationLost(int sipCode)
{
    logInfo("Registration lost at the registrar: idUri=\"%s\"; statusCode=%d", idUri.c_str(), sipCode);
    reportRegistration(false, kSipStatusBase + sipCode, sipCode);
}

bool SipAccount::hasPendingCall()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    for (const auto& entry : calls) {
        if (entry.second->isPending()) {
            return true;
        }
    }
    return false;
}

void SipAccount::onIncomingCall(const std::shared_ptr<linphone::Core>& core,
                                const std::shared_ptr<linphone::Call>& stackCall)
{
    SipStack::getInstance().ensureThreadRegistered();
    std::shared_ptr<SipCall> call;
    try {
        const std::shared_ptr<SipAccount> self = weak_from_this().lock();
        if (!self) {
            throw std::runtime_error("The account is being removed");
        }
        const bool busy = hasPendingCall() || SipStack::getInstance().isConferenceRunning();
        const auto to = stackCall->getToAddress();
        const std::string number = to ? to->getUsername() : "";
        call = std::make_shared<SipCall>(callCallback, self, -1, number.c_str());
        call->attachIncoming(core, stackCall);
        addCall(call);
        if (accountCallback != nullptr) {
            accountCallback->onIncomingCallArrived(self, call);
        }
        const auto remote = stackCall->getRemoteParams();
        const std::string alertInfo = remote ? remote->getCustomHeader("Alert-Info") : "";
        logInfo("Incoming call: idUri=\"%s\"; pjsipCallId=%d; busy=%d", idUri.c_str(), call->getPjsipCallId(),
                busy ? 1 : 0);
        if (busy) {
            call->answerBusyOnCore();
        } else {
            call->answerRingingOnCore();
        }
        const std::string text = SipInviteText::fromCall(*stackCall);
        if (accountCallback == nullptr) {
            throw std::runtime_error("No owner takes incoming calls");
        }
        // The owner hears of the call first, then of its progress.
        accountCallback->onIncomingCall(self, call, text.c_str());
        if (!busy) {
            call->reportRingingOnCore();
            // Only an explicit request of the caller opens the microphone.
            if (SipInviteText::asksForAutoAnswer(text, alertInfo)) {
                call->answerAudioOnCore(core);
            }
        }
        return;
    } catch (const SipError& error) {
        logError("Failed to handle incoming call: idUri=\"%s\"; reason=\"%s\"", idUri.c_str(), error.reason.c_str());
    } catch (const std::exception& error) {
        logError("Failed to handle incoming call: idUri=\"%s\"; what=\"%s\"", idUri.c_str(), error.what());
    } catch (...) {
        logError("Failed to handle incoming call: idUri=\"%s\"; what=\"unknown\"", idUri.c_str());
    }
    // Nobody took the call over: end it and forget it, or it would live on.
    try {
        if (call) {
            removeCall(call);
            call->terminateOnCore();
        } else {
            stackCall->decline(linphone::Reason::Busy);
        }
    } catch (...) {
        logError("Failed to end an incoming call that was not taken over: idUri=\"%s\"", idUri.c_str());
    }
}

void SipAccount::holdCalls(const std::shared_ptr<SipCall>& except, bool onlyOutsideConference)
{
    if (onlyOutsideConference && SipStack::getInstance().isConferenceRunning()) {
        return;
    }
    SipStack::getInstance().ensureThreadRegistered();
    for (const auto& call : getCalls()) {
        if (call == except || call->isLocalHold() || !call->isConfirmed()) {
            continue;
        }
        try {
            call->setHold(true, true);
        } catch (...) {
            // setHold logged it; the other calls still go on hold.
        }
    }
}

void SipAccount::holdOtherCalls(const std::shared_ptr<SipCall>& except)
{
    holdCalls(except, true);
}

void SipAccount::holdAllCalls(const std::shared_ptr<SipCall>& except)
{
    holdCalls(except, false);
}

void SipAccount::unholdAllCalls()
{
    if (!SipStack::getInstance().isConferenceRunning()) {
        return;
    }
    SipStack::getInstance().ensureThreadRegistered();
    for (const auto& call : getCalls()) {
        if (!call->isLocalHold()) {
            continue;
        }
        try {
            call->setHold(false, false);
        } catch (...) {
            // setHold logged it.
        }
    }
}

}  // namespace Tarvent::VirtualChannel
