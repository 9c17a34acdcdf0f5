#include "sip/SipCredentials.h"

#include <algorithm>

#include <linphone++/linphone.hh>

#include "sip/SipError.h"
#include "sip/SipShutdownHook.h"

namespace Tarvent::VirtualChannel {

void SipCredentials::attach(const std::shared_ptr<linphone::Core>& core)
{
    identities_.clear();
    // The Core takes its own credentials with it.
    core->addListener(std::make_shared<SipShutdownHook>([this]() { identities_.clear(); }));
}

SipCredentials::Identity* SipCredentials::find(const std::string& username, const std::string& realm)
{
    const auto found = std::find_if(identities_.begin(), identities_.end(), [&](const Identity& identity) {
        return identity.username == username && identity.realm == realm;
    });
    return found != identities_.end() ? &*found : nullptr;
}

void SipCredentials::install(linphone::Core& core, Identity& identity, const std::string& password)
{
    if (identity.authInfo) {
        core.removeAuthInfo(identity.authInfo);
        identity.authInfo.reset();
    }
    identity.password = password;
    if (password.empty()) {
        return;
    }
    identity.authInfo =
        linphone::Factory::get()->createAuthInfo(identity.username, "", password, "", identity.realm, "");
    core.addAuthInfo(identity.authInfo);
}

bool SipCredentials::take(linphone::Core& core, const std::shared_ptr<linphone::Account>& account,
                          const std::string& username, const std::string& realm, const std::string& password)
{
    Identity* identity = find(username, realm);
    if (identity == nullptr) {
        identities_.push_back(Identity{username, realm, "", nullptr, {}, 0});
        identity = &identities_.back();
        install(core, *identity, password);
    } else if (identity->password != password) {
        if (!identity->active.empty()) {
            return false;
        }
        install(core, *identity, password);
    }
    identity->active.push_back(account);
    return true;
}

namespace {

bool erase(std::vector<std::shared_ptr<linphone::Account>>& accounts, const std::shared_ptr<linphone::Account>& account)
{
    const auto found = std::find(accounts.begin(), accounts.end(), account);
    if (found == accounts.end()) {
        return false;
    }
    accounts.erase(found);
    return true;
}

}  // namespace

void SipCredentials::leave(const std::shared_ptr<linphone::Account>& account, const std::string& username,
                           const std::string& realm)
{
    if (Identity* const identity = find(username, realm); identity != nullptr && erase(identity->active, account)) {
        ++identity->leaving;
    }
}

void SipCredentials::drop(linphone::Core& core, const std::shared_ptr<linphone::Account>& account,
                          const std::string& username, const std::string& realm, bool leaving)
{
    Identity* const identity = find(username, realm);
    if (identity == nullptr) {
        return;
    }
    if (leaving) {
        identity->leaving = std::max(0, identity->leaving - 1);
        for (const auto& other : identity->active) {
            if (other->getState() == linphone::RegistrationState::Ok) {
                other->refreshRegister();
            }
        }
    } else {
        erase(identity->active, account);
    }
    if (!identity->active.empty() || identity->leaving > 0) {
        return;
    }
    if (identity->authInfo) {
        core.removeAuthInfo(identity->authInfo);
    }
    identities_.erase(identities_.begin() + (identity - identities_.data()));
}

bool SipCredentials::change(linphone::Core& core, const std::string& username, const std::string& realm,
                            const std::string& password)
{
    Identity* const identity = find(username, realm);
    if (identity == nullptr) {
        OVRA_THROW_SIP_ERROR(-1, "SipCredentials::change", "The account's credentials were removed");
    }
    if (identity->password == password) {
        return false;
    }
    install(core, *identity, password);
    return true;
}

}  // namespace Tarvent::VirtualChannel
