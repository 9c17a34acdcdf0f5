#include "sip/SipRedirectGuard.h"

#include <cstddef>

#include <belle-sip/belle-sip.h>
#include <linphone++/linphone.hh>
#include <linphone/core.h>

#include "logging/Logger.h"
#include "sip/SipError.h"

// The Core keeps its SIP layer to itself; these two accessors of the library
// (exported, without a public header) lead to it.
extern "C" void* linphone_core_get_sal(const LinphoneCore* core);
extern "C" void* sal_get_stack_impl(void* sal);

namespace Tarvent::VirtualChannel {

namespace {

constexpr int kRedirect = 302;

// The SIP layer of this library version holds, one after the other, its
// stack, its provider, its User-Agent header and its listener on the
// provider; it is found by the stack it is known to hold. Pinned to Debian
// 12's library, and checked: both must be the stack's own objects.
constexpr std::size_t kSearchedWords = 64;
constexpr std::size_t kProviderAfterStack = 1;
constexpr std::size_t kListenerAfterStack = 3;

struct SipLayer {
    belle_sip_provider_t* provider = nullptr;
    belle_sip_listener_t* listener = nullptr;
};

SipLayer findSipLayer(linphone::Core& core)
{
    void* const sal = linphone_core_get_sal(core.cPtr());
    void* const stack = sal == nullptr ? nullptr : sal_get_stack_impl(sal);
    if (stack == nullptr) {
        return {};
    }
    void* const* const words = static_cast<void* const*>(sal);
    for (std::size_t i = 0; i + kListenerAfterStack < kSearchedWords; ++i) {
        if (words[i] != stack) {
            continue;
        }
        auto* const provider = static_cast<belle_sip_provider_t*>(words[i + kProviderAfterStack]);
        auto* const listener = static_cast<belle_sip_listener_t*>(words[i + kListenerAfterStack]);
        if (provider == nullptr || listener == nullptr ||
            !BELLE_SIP_OBJECT_IS_INSTANCE_OF(provider, belle_sip_provider_t) ||
            belle_sip_provider_get_sip_stack(provider) != stack ||
            !belle_sip_object_implements(BELLE_SIP_OBJECT(listener), belle_sip_listener_t_id)) {
            return {};
        }
        return SipLayer{provider, listener};
    }
    return {};
}

void onResponseEvent(void* context, const belle_sip_response_event_t* event)
{
    try {
        static_cast<SipRedirectGuard*>(context)->onResponse(event);
    } catch (...) {
        logError("Failed to check a SIP response for a redirect");
    }
}

std::string callIdOf(belle_sip_response_t* response)
{
    auto* const header = belle_sip_message_get_header_by_type(response, belle_sip_header_call_id_t);
    const char* const callId = header != nullptr ? belle_sip_header_call_id_get_call_id(header) : nullptr;
    return callId != nullptr ? callId : "";
}

}  // namespace

SipRedirectGuard::SipRedirectGuard()
{
    belle_sip_listener_callbacks_t callbacks{};
    callbacks.process_response_event = &onResponseEvent;
    listener_ = belle_sip_listener_create_from_callbacks(&callbacks, this);
}

SipRedirectGuard::~SipRedirectGuard()
{
    // A provider that still lists the listener is gone with its Core by now.
    belle_sip_object_unref(listener_);
}

void SipRedirectGuard::attach(linphone::Core& core)
{
    const SipLayer layer = findSipLayer(core);
    if (layer.provider == nullptr) {
        OVRA_THROW_SIP_ERROR(-1, "SipRedirectGuard::attach", "The SIP layer of the stack was not found");
    }
    // Listeners hear of a response in the order they were added: the
    // library's own goes behind this one.
    belle_sip_provider_remove_sip_listener(layer.provider, layer.listener);
    belle_sip_provider_add_sip_listener(layer.provider, listener_);
    belle_sip_provider_add_sip_listener(layer.provider, layer.listener);
}

int SipRedirectGuard::reportedStatus(const std::string& callId, int status)
{
    if (status != kStandInStatus) {
        return status;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : redirected_) {
        if (entry.first == callId) {
            return entry.second;
        }
    }
    return status;
}

void SipRedirectGuard::onResponse(const belle_sip_response_event_t* event)
{
    belle_sip_response_t* const response = belle_sip_response_event_get_response(event);
    belle_sip_client_transaction_t* const transaction = belle_sip_response_event_get_client_transaction(event);
    if (response == nullptr || transaction == nullptr || belle_sip_response_get_status_code(response) != kRedirect) {
        return;
    }
    belle_sip_request_t* const request = belle_sip_transaction_get_request(BELLE_SIP_TRANSACTION(transaction));
    const char* const method = request != nullptr ? belle_sip_request_get_method(request) : nullptr;
    auto* const to = request != nullptr ? belle_sip_message_get_header_by_type(request, belle_sip_header_to_t) : nullptr;
    // Only a dialog-creating INVITE would be sent on to the new target.
    if (method == nullptr || std::string(method) != "INVITE" || to == nullptr ||
        belle_sip_header_to_get_tag(to) != nullptr) {
        return;
    }
    const std::string callId = callIdOf(response);
    auto* const contact = belle_sip_message_get_header_by_type(response, belle_sip_header_contact_t);
    const char* const target = contact != nullptr ? belle_sip_header_get_unparsed_value(BELLE_SIP_HEADER(contact)) : "";
    logInfo("Redirect not followed: callId=\"%s\"; status=%d; contact=\"%s\"", callId.c_str(), kRedirect,
            target != nullptr ? target : "");
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        redirected_.emplace_back(callId, kRedirect);
        if (redirected_.size() > kRemembered) {
            redirected_.pop_front();
        }
    }
    belle_sip_response_set_status_code(response, kStandInStatus);
}

}  // namespace Tarvent::VirtualChannel
