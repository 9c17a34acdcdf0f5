#pragma once

#include <memory>
#include <string>
#include <vector>

namespace linphone {
class Account;
class AuthInfo;
class Core;
}  // namespace linphone

namespace Tarvent::VirtualChannel {

// The accounts' digest credentials in the Core, one set per identity (user
// name and realm). The library keys its credentials by user name and realm
// and picks them by that key alone, not by account: two sets for one key
// make its look-up ambiguous, and then it finds none at all (the second
// account's registration and every challenged request of the first fail).
// So the accounts of one identity share one set, which goes with the last
// of them; a password change of one is a change for all of them.
//
// Core thread only.
class SipCredentials {
public:
    SipCredentials() = default;

    SipCredentials(const SipCredentials&) = delete;
    SipCredentials& operator=(const SipCredentials&) = delete;

    // Once per Core, after its creation: starts afresh with no credentials
    // and lets go of them when the Core shuts down.
    void attach(const std::shared_ptr<linphone::Core>& core);

    // The account `account` of `username` at `realm` starts using the
    // identity's credentials (made with `password` when it has none).
    // False, with nothing taken, when another account still uses them with
    // another password: the library can't keep two passwords of one
    // identity apart. Accounts that are leaving hold nothing back: a new
    // account's password replaces theirs.
    bool take(linphone::Core& core, const std::shared_ptr<linphone::Account>& account, const std::string& username,
              const std::string& realm, const std::string& password);
    // The account was deleted and only unregisters now.
    void leave(const std::shared_ptr<linphone::Account>& account, const std::string& username,
               const std::string& realm);
    // The account is gone (`leaving`: it had left before). The accounts of
    // one identity share their binding at the registrar (one Core, one
    // contact), which a leaving account's unregistration took away: the
    // identity's registered accounts register again.
    void drop(linphone::Core& core, const std::shared_ptr<linphone::Account>& account, const std::string& username,
              const std::string& realm, bool leaving);
    // Gives the identity `password`; false (and nothing changes) when it
    // has that password already.
    bool change(linphone::Core& core, const std::string& username, const std::string& realm,
                const std::string& password);

private:
    struct Identity {
        std::string username;
        std::string realm;
        std::string password;
        std::shared_ptr<linphone::AuthInfo> authInfo;  // none without a password: the Core takes no empty one
        std::vector<std::shared_ptr<linphone::Account>> active;  // the accounts that use it
        int leaving = 0;  // deleted accounts that still unregister with it
    };

    Identity* find(const std::string& username, const std::string& realm);
    static void install(linphone::Core& core, Identity& identity, const std::string& password);
    std::vector<Identity> identities_;
};

}  // namespace Tarvent::VirtualChannel
