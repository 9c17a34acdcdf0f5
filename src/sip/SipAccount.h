#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "sip/AccountData.h"
#include "sip/ISipAccountCallback.h"
#include "sip/ISipCallCallback.h"

namespace linphone {
class Call;
class Core;
}  // namespace linphone

namespace Tarvent::VirtualChannel {

class SipCall;

// One SIP account on the linphone Core: registers at the realm's registrar
// (digest authentication), keeps the account's calls by call index, creates
// outgoing calls, takes incoming calls (ringing or busy, auto-answer on
// request) and reports both to its owner through ISipAccountCallback.
// A registrar that loses the registration is noticed: over TCP and TLS by
// the connection that drops (the stack reports it and registers again, see
// SipStack::kRegistrationRetry), over UDP by a probe of the registrar while
// registered (SipRegistrarProbe); the loss is reported as not connected and
// the account registers anew.
//
// Threads: operations from any thread; the stack's reports arrive on the SIP
// core thread. Create with SipAccount::create only.
// Lock order: `mutex` is taken on the core thread (level 3 of SipCoreThread),
// before a call's mutex and the SIP stack's mutex; it is only held for short
// reads and writes of the members, never while waiting for the core thread,
// while calling the owner or while a call operation runs.
class SipAccount : public std::enable_shared_from_this<SipAccount> {
    struct Passkey {};

public:
    static constexpr int kRegistrationExpires = 300;
    static constexpr int kSipStatusBase = 170000;

    // Builds the account and adds it to the stack, which starts registering.
    // Throws std::runtime_error when a value is refused (user name, realm) and
    // SipError when the stack is not running or refuses the account. The
    // accounts of one identity share their credentials (see SipCredentials):
    // another password than theirs becomes theirs too.
    // `accountCallback` and `callCallback` must outlive the account.
    static std::shared_ptr<SipAccount> create(ISipAccountCallback* accountCallback, ISipCallCallback* callCallback,
                                              const AccountData& data);

    SipAccount(Passkey, ISipAccountCallback* accountCallback, ISipCallCallback* callCallback, const AccountData& data);
    // Removes the account from the stack when shutdown() has not (waits for
    // the core thread then: drop the last reference with no lock held).
    ~SipAccount();

    SipAccount(const SipAccount&) = delete;
    SipAccount& operator=(const SipAccount&) = delete;

    // A new outgoing call to `phoneNumber` at the realm (not placed yet).
    // Throws std::runtime_error when the number is refused.
    std::shared_ptr<SipCall> createCall(const char* phoneNumber);
    void addCall(const std::shared_ptr<SipCall>& call);
    // Erases the call's entry only while it still holds this very call.
    void removeCall(const std::shared_ptr<SipCall>& call);
    std::shared_ptr<SipCall> findCall(int pjsipCallId);
    std::vector<std::shared_ptr<SipCall>> getCalls();

    const std::string& getIdUri() const { return idUri; }
    bool getContactRewrite() const { return contactRewrite; }
    const std::string& getRealm() const { return data.realm; }
    // The TLS accounts offer SRTP on their calls.
    bool offersSrtp() const { return srtp; }

    // true: refresh the registration (register again when unregistered);
    // false: unregister.
    void setRegistration(bool renew);
    // Replaces the credentials and registers again; nothing happens when the
    // password is the one in use. The accounts of one identity share their
    // credentials (see SipCredentials): the others answer their next
    // challenge with the new password too.
    void updatePassword(const std::string& newPassword);
    // Removes the account from the stack (which unregisters). Idempotent.
    void shutdown();
    bool isRemoved();

    // Puts the account's other confirmed calls that are not held on hold
    // (nothing while the conference runs). Failures are logged per call.
    void holdOtherCalls(const std::shared_ptr<SipCall>& except);
    void holdAllCalls(const std::shared_ptr<SipCall>& except);
    void unholdAllCalls();

private:
    class Link;
    friend class Link;

    // Core thread: the stack's reports.
    void onRegistrationEnded(bool ok, bool cleared, int sipCode);
    // The registrar showed (answering `sipCode` to a probe, or not at all)
    // that it no longer has the registration: reported as not connected.
    void onRegistrationLost(int sipCode);
    void reportRegistration(bool isConnected, int status, int sipCode);
    void onIncomingCall(const std::shared_ptr<linphone::Core>& core, const std::shared_ptr<linphone::Call>& call);
    bool hasPendingCall();
    static void checkStatus(int status, const char* operation);
    void holdCalls(const std::shared_ptr<SipCall>& except, bool onlyOutsideConference);

    ISipAccountCallback* const accountCallback;
    ISipCallCallback* const callCallback;
    const AccountData data;
    std::string transportSuffix;
    std::string userPart;  // the escaped user name
    std::string idUri;
    std::string registrarUri;
    bool contactRewrite = false;
    bool srtp = false;

    // Guards the members below.
    std::recursive_mutex mutex;
    bool removed = false;  // shutdown() ran
    std::unordered_map<int, std::shared_ptr<SipCall>> calls;

    std::shared_ptr<Link> link;  // the core thread's part; set once by create
};

}  // namespace Tarvent::VirtualChannel
