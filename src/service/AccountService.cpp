#include "service/AccountService.h"

#include <chrono>
#include <stdexcept>
#include <utility>

#include "logging/Logger.h"
#include "service/CallService.h"
#include "service/SipStackFacade.h"
#include "sip/SipAccount.h"
#include "sip/SipCall.h"
#include "sip/SipError.h"
#include "sip/SipStack.h"
#include "util/MakeString.h"

namespace Tarvent::VirtualChannel {

namespace {

// How long an event of an account that is being entered waits for its id.
// The wait ends as soon as the entry is made; the limit only guards against
// an entry that never comes.
constexpr std::chrono::seconds kPendingEntryWait{2};

}  // namespace

AccountService::AccountService(IAccountServiceCallback* callback, CallService* callService)
    : callback_(callback), callService_(callService)
{
}

AccountService::~AccountService() = default;

int AccountService::createAccount(const AccountData& data, std::string* idUri, bool* contactRewrite)
{
    SipStackFacade::requireStarted();
    {
        const std::lock_guard<std::recursive_mutex> lock(mutex_);
        ++creating_;
    }
    // Built without the lock: the build waits for the SIP core thread, whose
    // account events take the lock.
    std::shared_ptr<SipAccount> account;
    try {
        account = SipAccount::create(this, callService_, data);
    } catch (...) {
        finishCreating();
        throw;
    }
    int accountId = -1;
    {
        const std::lock_guard<std::recursive_mutex> lock(mutex_);
        accountId = nextAccountId_;
        accounts_.emplace(accountId, account);
        accountIds_.emplace(account.get(), accountId);
        ++nextAccountId_;
    }
    finishCreating();
    if (idUri != nullptr) {
        *idUri = account->getIdUri();
    }
    if (contactRewrite != nullptr) {
        *contactRewrite = account->getContactRewrite();
    }
    return accountId;
}

void AccountService::finishCreating()
{
    {
        const std::lock_guard<std::recursive_mutex> lock(mutex_);
        --creating_;
    }
    entered_.notify_all();
}

void AccountService::deleteAccount(int accountId)
{
    const std::shared_ptr<SipAccount> account = getAccount(accountId);
    SipStackFacade::requireStarted();
    account->shutdown();
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    accountIds_.erase(account.get());
    accounts_.erase(accountId);
}

std::shared_ptr<SipAccount> AccountService::getAccount(int accountId)
{
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    const auto it = accounts_.find(accountId);
    if (it == accounts_.end()) {
        throw std::runtime_error(makeString("Invalid account ID: accountId=", accountId));
    }
    return it->second;
}

int AccountService::getAccountObjectId(std::shared_ptr<SipAccount> account)
{
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    const auto it = accountIds_.find(account.get());
    return it == accountIds_.end() ? -1 : it->second;
}

void AccountService::setRegistration(int accountId, bool renew)
{
    const std::shared_ptr<SipAccount> account = getAccount(accountId);
    SipStackFacade::requireStarted();
    account->setRegistration(renew);
}

void AccountService::updatePassword(int accountId, const char* newPassword)
{
    const std::shared_ptr<SipAccount> account = getAccount(accountId);
    SipStackFacade::requireStarted();
    const std::string password = newPassword != nullptr ? newPassword : "";
    account->updatePassword(password);
}

int AccountService::makeCall(int accountId, const char* phoneNumber)
{
    const std::shared_ptr<SipAccount> account = getAccount(accountId);
    SipStackFacade::requireStarted();
    return callService_->addCall(account->createCall(phoneNumber));
}

int AccountService::findCallId(int accountId, int pjsipCallId)
{
    const std::shared_ptr<SipAccount> account = getAccount(accountId);
    const std::shared_ptr<SipCall> call = account->findCall(pjsipCallId);
    return call ? callService_->getCallObjectId(call) : -1;
}

void AccountService::startConference(const std::vector<int>& accountIds)
{
    std::vector<std::shared_ptr<SipAccount>> accounts;
    accounts.reserve(accountIds.size());
    for (const int accountId : accountIds) {
        accounts.push_back(getAccount(accountId));
    }
    SipStackFacade::requireStarted();
    SipStack::getInstance().startConference(accounts);
}

void AccountService::stopConference()
{
    SipStack::getInstance().stopConference();
}

void AccountService::clear()
{
    std::unordered_map<int, std::shared_ptr<SipAccount>> copy;
    {
        const std::lock_guard<std::recursive_mutex> lock(mutex_);
        copy = accounts_;
    }
    // A teardown step must not fail: an account the stack can't remove any
    // more goes anyway (its destructor tries again).
    for (const auto& entry : copy) {
        try {
            entry.second->shutdown();
        } catch (const SipError& error) {
            logError("Failed to shut down account: accountId=%d; reason=\"%s\"", entry.first, error.reason.c_str());
        } catch (const std::exception& error) {
            logError("Failed to shut down account: accountId=%d; what=\"%s\"", entry.first, error.what());
        }
    }
    {
        const std::lock_guard<std::recursive_mutex> lock(mutex_);
        accounts_.clear();
        accountIds_.clear();
    }
    // `copy` drops the last shares of the accounts here, outside the lock.
}

int AccountService::idOfAccount(std::unique_lock<std::recursive_mutex>& lock, SipAccount& account)
{
    const auto deadline = std::chrono::steady_clock::now() + kPendingEntryWait;
    for (;;) {
        const auto it = accountIds_.find(&account);
        if (it != accountIds_.end()) {
            return it->second;
        }
        // Only an account still being entered can get an id; a removed one
        // (deleted or cleared) never will.
        if (creating_ == 0 || account.isRemoved()) {
            return -1;
        }
        if (entered_.wait_until(lock, deadline) == std::cv_status::timeout) {
            const auto late = accountIds_.find(&account);
            return late == accountIds_.end() ? -1 : late->second;
        }
    }
}

int AccountService::registerIncomingCall(std::shared_ptr<SipAccount> account, const std::shared_ptr<SipCall>& call,
                                         int& accountId)
{
    std::unique_lock<std::recursive_mutex> lock(mutex_);
    accountId = idOfAccount(lock, *account);
    if (accountId < 0) {
        throw std::runtime_error(
            makeString("Failed to handle incoming call because account does not exist: pjsipCallId=",
                       call->getPjsipCallId()));
    }
    const int known = callService_->getCallObjectId(call);
    return known >= 0 ? known : callService_->addCall(call);
}

void AccountService::onIncomingCallArrived(std::shared_ptr<SipAccount> account, std::shared_ptr<SipCall> call)
{
    int accountId = -1;
    registerIncomingCall(std::move(account), call, accountId);
}

void AccountService::onIncomingCall(std::shared_ptr<SipAccount> account, std::shared_ptr<SipCall> call,
                                    const char* sipMessage)
{
    int accountId = -1;
    const int callId = registerIncomingCall(std::move(account), call, accountId);
    if (call->isRejectedBusy()) {
        return;
    }
    // The call is the engine's now: a failed notification must not make the
    // account end it.
    try {
        callback_->onIncomingCall(accountId, callId, call->getPjsipCallId(), sipMessage);
    } catch (const std::exception& error) {
        logError("Failed to report incoming call: callId=%d; what=\"%s\"", callId, error.what());
    } catch (...) {
        logError("Failed to report incoming call: callId=%d; what=\"unknown\"", callId);
    }
}

void AccountService::onRegState(std::shared_ptr<SipAccount> account, bool isConnected, int status, int statusCode)
{
    int accountId = -1;
    {
        std::unique_lock<std::recursive_mutex> lock(mutex_);
        accountId = idOfAccount(lock, *account);
    }
    callback_->onAccountRegStateChanged(accountId, isConnected, status, statusCode);
}

}  // namespace Tarvent::VirtualChannel
