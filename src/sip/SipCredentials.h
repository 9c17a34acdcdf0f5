#pragma once

#include <memory>
#include <string>
#include <vector>

namespace linphone {
class Account;
class AuthInfo;
class Core;
}  // namespace linphone

// belle-sip's types, as its headers declare them.
struct structbelle_sip_listener_t;
struct belle_sip_auth_event;

namespace Tarvent::VirtualChannel {

// The accounts' digest credentials in the Core, one set per identity (user
// name and realm). The library keys its credentials by user name and realm
// and picks them by that key alone, not by account: two sets for one key
// make its look-up ambiguous, and then it finds none at all (the second
// account's registration and every challenged request of the first fail).
// So the accounts of one identity share one set, which goes with the last
// of them; a password change of one, or a new account of the identity with
// another password, is a change for all of them.
//
// A challenge the library finds no credentials for would be left waiting
// for the application to supply some, for as long as the stack runs: the
// request never ends, and neither does its call. An account without a
// password has the digest of an empty one in the Core (which takes no empty
// password); a challenge that the library still finds nothing for (one of
// another realm or algorithm than that digest's, a look-up that fails for
// any other reason) is answered here, at the SIP layer, with the password of
// the identity it was made for, or with an empty one when the engine has
// none. A refusal then ends the request with the challenge's status after
// the library's own few tries, as for a wrong password.
//
// Core thread only.
class SipCredentials {
public:
    SipCredentials();
    ~SipCredentials();

    SipCredentials(const SipCredentials&) = delete;
    SipCredentials& operator=(const SipCredentials&) = delete;

    // Once per Core, after its creation: starts afresh with no credentials
    // and lets go of them when the Core shuts down. Throws SipError when the
    // Core's SIP layer can't be reached.
    void attach(const std::shared_ptr<linphone::Core>& core);

    // The SIP layer's request for credentials, after the library's turn.
    void onAuthRequested(belle_sip_auth_event* event);

    // The account `account` of `username` at `realm` starts using the
    // identity's credentials, with `password`: the library can't keep two
    // passwords of one identity apart, and the newest login is the one
    // that carries the password the user gave last, so another password
    // replaces the identity's for all its accounts (as a password update
    // does).
    void take(linphone::Core& core, const std::shared_ptr<linphone::Account>& account, const std::string& username,
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
        std::shared_ptr<linphone::AuthInfo> authInfo;
        std::vector<std::shared_ptr<linphone::Account>> active;  // the accounts that use it
        int leaving = 0;  // deleted accounts that still unregister with it
    };

    Identity* find(const std::string& username, const std::string& realm);
    static void install(linphone::Core& core, Identity& identity, const std::string& password);
    structbelle_sip_listener_t* listener_ = nullptr;  // ours, added to each Core's SIP layer behind the library's
    std::vector<Identity> identities_;
};

}  // namespace Tarvent::VirtualChannel
