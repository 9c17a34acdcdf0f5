#include "sip/SipCredentials.h"

#include <algorithm>

#include <belle-sip/belle-sip.h>
#include <linphone++/linphone.hh>

#include "logging/Logger.h"
#include "sip/SipError.h"
#include "sip/SipLayer.h"
#include "sip/SipShutdownHook.h"
#include "util/LogText.h"

namespace Tarvent::VirtualChannel {

namespace {

void onAuthRequestedEvent(void* context, belle_sip_auth_event_t* event)
{
    try {
        static_cast<SipCredentials*>(context)->onAuthRequested(event);
    } catch (...) {
        logError("Failed to answer a request for credentials");
    }
}

std::string text(const char* value)
{
    return value != nullptr ? value : "";
}

}  // namespace

SipCredentials::SipCredentials()
{
    belle_sip_listener_callbacks_t callbacks{};
    callbacks.process_auth_requested = &onAuthRequestedEvent;
    listener_ = belle_sip_listener_create_from_callbacks(&callbacks, this);
}

SipCredentials::~SipCredentials()
{
    // A provider that still lists the listener is gone with its Core by now.
    belle_sip_object_unref(listener_);
}

void SipCredentials::attach(const std::shared_ptr<linphone::Core>& core)
{
    identities_.clear();
    const SipLayer layer = SipLayer::of(*core);
    if (layer.provider == nullptr) {
        OVRA_THROW_SIP_ERROR(-1, "SipCredentials::attach", "The SIP layer of the stack was not found");
    }
    // Listeners hear of a request in the order they were added: this one
    // comes after the library's, and sees what it found.
    belle_sip_provider_add_sip_listener(layer.provider, listener_);
    // The Core takes its own credentials with it.
    core->addListener(std::make_shared<SipShutdownHook>([this]() { identities_.clear(); }));
}

void SipCredentials::onAuthRequested(belle_sip_auth_event_t* event)
{
    if (belle_sip_auth_event_get_mode(event) != BELLE_SIP_AUTH_MODE_HTTP_DIGEST ||
        belle_sip_auth_event_get_passwd(event) != nullptr || belle_sip_auth_event_get_ha1(event) != nullptr) {
        return;  // the library found credentials
    }
    const std::string username = text(belle_sip_auth_event_get_username(event));
    const std::string realm = text(belle_sip_auth_event_get_realm(event));
    // The identity the request was made for (its From), else the one of the
    // challenge's realm, else the user's only one.
    const Identity* identity = find(username, text(belle_sip_auth_event_get_domain(event)));
    if (identity == nullptr) {
        identity = find(username, realm);
    }
    if (identity == nullptr) {
        const auto isUsers = [&](const Identity& candidate) { return candidate.username == username; };
        const auto found = std::find_if(identities_.begin(), identities_.end(), isUsers);
        if (found != identities_.end() && std::count_if(identities_.begin(), identities_.end(), isUsers) == 1) {
            identity = &*found;
        }
    }
    logWarning("Answering a challenge the stack has no credentials for: username=\"%s\"; realm=\"%s\"; known=%d",
            logText(username).c_str(), logText(realm).c_str(), identity != nullptr ? 1 : 0);
    belle_sip_auth_event_set_passwd(event, identity != nullptr ? identity->password.c_str() : "");
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
    std::string ha1;
    if (password.empty()) {
        // The Core takes no empty password, but the digest of one: without
        // any, every challenge of the identity would come to onAuthRequested.
        char digest[33] = {};
        if (belle_sip_auth_helper_compute_ha1(identity.username.c_str(), identity.realm.c_str(), "", digest) != 0) {
            return;
        }
        ha1 = digest;
    }
    identity.authInfo =
        linphone::Factory::get()->createAuthInfo(identity.username, "", password, ha1, identity.realm, "");
    core.addAuthInfo(identity.authInfo);
}

void SipCredentials::take(linphone::Core& core, const std::shared_ptr<linphone::Account>& account,
                          const std::string& username, const std::string& realm, const std::string& password)
{
    Identity* identity = find(username, realm);
    if (identity == nullptr) {
        identities_.push_back(Identity{username, realm, "", nullptr, {}, 0});
        identity = &identities_.back();
        install(core, *identity, password);
    } else if (identity->password != password) {
        install(core, *identity, password);
    }
    identity->active.push_back(account);
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
