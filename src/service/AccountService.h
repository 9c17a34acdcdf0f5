#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "service/IAccountServiceCallback.h"
#include "sip/AccountData.h"
#include "sip/ISipAccountCallback.h"

namespace Tarvent::VirtualChannel {

class CallService;
class SipAccount;
class SipCall;

// Owns the engine's SIP accounts by object id (ids count from 1 and are never
// handed out twice, not even after clear), forwards the per-account requests
// to them, creates their outgoing calls and registers every call with the
// call service. It is the ISipAccountCallback of every account it creates and
// passes their events on to its client.
//
// Threads: requests on the dispatcher's worker thread; clear also on the idle
// timer's and the service thread; the account events on the SIP core thread.
// Lock order: `mutex_` comes after the packet handler's mutex and before the
// call service's mutex (taken inside it when an incoming call is registered)
// and every lock of the SIP engine. It is never held while the client is
// called, while an account is built or shut down, or while an account
// operation runs.
class AccountService : public ISipAccountCallback {
public:
    // Neither pointer is owned; both must outlive the service.
    AccountService(IAccountServiceCallback* callback, CallService* callService);
    ~AccountService() override;

    AccountService(const AccountService&) = delete;
    AccountService& operator=(const AccountService&) = delete;

    // Both out-parameters may be null. Throws "SIP stack is not running" when
    // the stack is stopped; the account's own errors pass through; a failed
    // create uses up no id.
    int createAccount(const AccountData& data, std::string* idUri, bool* contactRewrite);
    // deleteAccount, setRegistration, updatePassword, makeCall and
    // startConference look the account ids up first (an unknown one is what
    // the client hears about, also while the stack is stopped), then throw
    // "SIP stack is not running" when the stack would be needed and is stopped.
    void deleteAccount(int accountId);
    // Throws "Invalid account ID: accountId=<id>" for an unknown id.
    std::shared_ptr<SipAccount> getAccount(int accountId);
    // -1 when the account is not in the table.
    int getAccountObjectId(std::shared_ptr<SipAccount> account);
    void setRegistration(int accountId, bool renew);
    void updatePassword(int accountId, const char* newPassword);
    // A new outgoing call, registered with the call service; its call id.
    int makeCall(int accountId, const char* phoneNumber);
    // -1 when the account has no such call or the call has no id.
    int findCallId(int accountId, int pjsipCallId);
    void startConference(const std::vector<int>& accountIds);
    void stopConference();
    // Shuts every account down and empties the tables; the id counter stays.
    // Safe to call repeatedly.
    void clear();

    // ISipAccountCallback: SIP core thread.
    // Registers a new incoming call with the call service before the account
    // answers it, so that every event of the call finds an id.
    void onIncomingCallArrived(std::shared_ptr<SipAccount> account, std::shared_ptr<SipCall> call) override;
    void onIncomingCall(std::shared_ptr<SipAccount> account, std::shared_ptr<SipCall> call,
                        const char* sipMessage) override;
    void onRegState(std::shared_ptr<SipAccount> account, bool isConnected, int status, int statusCode) override;

private:
    // Registers the call unless it already has an id; its call id. Throws
    // when the account has no id.
    int registerIncomingCall(std::shared_ptr<SipAccount> account, const std::shared_ptr<SipCall>& call,
                             int& accountId);
    // `lock` holds `mutex_`. The account's id, or -1; an account that is
    // still being entered by createAccount is waited for.
    int idOfAccount(std::unique_lock<std::recursive_mutex>& lock, SipAccount& account);
    void finishCreating();

    // Guards the tables and the counter; see the lock order above.
    std::recursive_mutex mutex_;
    IAccountServiceCallback* const callback_;
    CallService* const callService_;
    int nextAccountId_ = 1;
    int creating_ = 0;  // accounts built by createAccount and not yet entered
    std::condition_variable_any entered_;  // an account was entered (or its build failed)
    std::unordered_map<int, std::shared_ptr<SipAccount>> accounts_;
    std::unordered_map<const SipAccount*, int> accountIds_;
};

}  // namespace Tarvent::VirtualChannel
