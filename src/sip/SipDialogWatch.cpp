#include "sip/SipDialogWatch.h"

#include <algorithm>

#include <belle-sip/belle-sip.h>
#include <linphone++/linphone.hh>
#include <linphone/core.h>

#include "logging/Logger.h"
#include "sip/SipError.h"
#include "sip/SipLayer.h"

namespace Tarvent::VirtualChannel {

namespace {

constexpr int kRedirect = 302;
constexpr const char* kSdp = "application/sdp";

void onRequestEvent(void* context, const belle_sip_request_event_t* event)
{
    try {
        static_cast<SipDialogWatch*>(context)->onRequest(event);
    } catch (...) {
        logError("Failed to look at a SIP request");
    }
}

void onResponseEvent(void* context, const belle_sip_response_event_t* event)
{
    try {
        static_cast<SipDialogWatch*>(context)->onResponse(event);
    } catch (...) {
        logError("Failed to look at a SIP response");
    }
}

std::string text(const char* value)
{
    return value != nullptr ? value : "";
}

// Call-ID and the tags of From and To of a message.
struct Identity {
    std::string callId;
    std::string fromTag;
    std::string toTag;
};

Identity identityOf(belle_sip_message_t* message)
{
    Identity identity;
    if (auto* const callId = belle_sip_message_get_header_by_type(message, belle_sip_header_call_id_t)) {
        identity.callId = text(belle_sip_header_call_id_get_call_id(callId));
    }
    if (auto* const from = belle_sip_message_get_header_by_type(message, belle_sip_header_from_t)) {
        identity.fromTag = text(belle_sip_header_from_get_tag(from));
    }
    if (auto* const to = belle_sip_message_get_header_by_type(message, belle_sip_header_to_t)) {
        identity.toTag = text(belle_sip_header_to_get_tag(to));
    }
    return identity;
}

bool carriesSdp(belle_sip_message_t* message)
{
    belle_sip_header_t* const type = belle_sip_message_get_header(message, "Content-Type");
    return type != nullptr && text(belle_sip_header_get_unparsed_value(type)) == kSdp;
}

}  // namespace

SipDialogWatch::SipDialogWatch()
{
    belle_sip_listener_callbacks_t callbacks{};
    callbacks.process_request_event = &onRequestEvent;
    callbacks.process_response_event = &onResponseEvent;
    listener_ = belle_sip_listener_create_from_callbacks(&callbacks, this);
}

SipDialogWatch::~SipDialogWatch()
{
    // A provider that still lists the listener is gone with its Core by now.
    belle_sip_object_unref(listener_);
}

void SipDialogWatch::attach(linphone::Core& core)
{
    const SipLayer layer = SipLayer::of(core);
    if (layer.provider == nullptr) {
        OVRA_THROW_SIP_ERROR(-1, "SipDialogWatch::attach", "The SIP layer of the stack was not found");
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        dialogs_.clear();
        options_.clear();
    }
    // Listeners hear of a message in the order they were added: the
    // library's own goes behind this one.
    belle_sip_provider_remove_sip_listener(layer.provider, layer.listener);
    belle_sip_provider_add_sip_listener(layer.provider, listener_);
    belle_sip_provider_add_sip_listener(layer.provider, layer.listener);
}

int SipDialogWatch::reportedStatus(const std::string& callId, int status)
{
    if (status != kStandInStatus) {
        return status;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    const Dialog* const dialog = findDialog(callId);
    return dialog != nullptr && dialog->redirectedStatus != 0 ? dialog->redirectedStatus : status;
}

std::optional<SipDialogWatch::Provisional> SipDialogWatch::provisional(const std::string& callId)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    const Dialog* const dialog = findDialog(callId);
    if (dialog == nullptr || dialog->provisional.status == 0) {
        return std::nullopt;
    }
    return dialog->provisional;
}

std::optional<SipDialogWatch::Tags> SipDialogWatch::tags(const std::string& callId)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    const Dialog* const dialog = findDialog(callId);
    if (dialog == nullptr || dialog->tags.local.empty() || dialog->tags.remote.empty()) {
        return std::nullopt;
    }
    return dialog->tags;
}

std::optional<std::string> SipDialogWatch::remoteTag(const std::string& callId)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    const Dialog* const dialog = findDialog(callId);
    if (dialog == nullptr || dialog->tags.remote.empty()) {
        return std::nullopt;
    }
    return dialog->tags.remote;
}

bool SipDialogWatch::receivedOptions(const std::string& callId)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::find(options_.begin(), options_.end(), callId) != options_.end();
}

void SipDialogWatch::onRequest(const belle_sip_request_event_t* event)
{
    belle_sip_request_t* const request = belle_sip_request_event_get_request(event);
    if (request == nullptr) {
        return;
    }
    const Identity identity = identityOf(BELLE_SIP_MESSAGE(request));
    const std::string method = text(belle_sip_request_get_method(request));
    if (method == "OPTIONS" && identity.toTag.empty() && !identity.callId.empty()) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (options_.size() >= kRemembered) {
            options_.pop_front();
        }
        options_.push_back(identity.callId);
        return;
    }
    const bool dialogCreating = method == "INVITE" && identity.toTag.empty();
    if (identity.callId.empty() || identity.fromTag.empty() || (identity.toTag.empty() && !dialogCreating)) {
        return;
    }
    // A request from the other side: its From is the remote party, its To
    // (in a dialog) this side.
    const std::lock_guard<std::mutex> lock(mutex_);
    Dialog& dialog = dialogOf(identity.callId);
    dialog.tags.remote = identity.fromTag;
    if (!identity.toTag.empty()) {
        dialog.tags.local = identity.toTag;
    }
}

void SipDialogWatch::onResponse(const belle_sip_response_event_t* event)
{
    belle_sip_response_t* const response = belle_sip_response_event_get_response(event);
    belle_sip_client_transaction_t* const transaction = belle_sip_response_event_get_client_transaction(event);
    if (response == nullptr || transaction == nullptr) {
        return;
    }
    belle_sip_request_t* const request = belle_sip_transaction_get_request(BELLE_SIP_TRANSACTION(transaction));
    const Identity identity = identityOf(BELLE_SIP_MESSAGE(response));
    if (request == nullptr || identity.callId.empty()) {
        return;
    }
    const int status = belle_sip_response_get_status_code(response);
    const bool invite = text(belle_sip_request_get_method(request)) == "INVITE";
    auto* const requestTo = belle_sip_message_get_header_by_type(request, belle_sip_header_to_t);
    const bool dialogCreating = invite && requestTo != nullptr && belle_sip_header_to_get_tag(requestTo) == nullptr;

    const std::lock_guard<std::mutex> lock(mutex_);
    Dialog& dialog = dialogOf(identity.callId);
    // An answer to this side's request: its From is this side, its To the remote party.
    if (!identity.fromTag.empty()) {
        dialog.tags.local = identity.fromTag;
    }
    if (!identity.toTag.empty() && status > 100 && status < 300) {
        dialog.tags.remote = identity.toTag;
    }
    if (!dialogCreating) {
        return;
    }
    if (status > 100 && status < 200) {
        dialog.provisional = Provisional{status, carriesSdp(BELLE_SIP_MESSAGE(response))};
    } else if (status == kRedirect) {
        // Only a dialog-creating INVITE would be sent on to the new target.
        auto* const contact = belle_sip_message_get_header_by_type(response, belle_sip_header_contact_t);
        logInfo("Redirect not followed: callId=\"%s\"; status=%d; contact=\"%s\"", identity.callId.c_str(), status,
                contact != nullptr ? text(belle_sip_header_get_unparsed_value(BELLE_SIP_HEADER(contact))).c_str() : "");
        dialog.redirectedStatus = status;
        belle_sip_response_set_status_code(response, kStandInStatus);
    }
}

SipDialogWatch::Dialog& SipDialogWatch::dialogOf(const std::string& callId)
{
    for (Dialog& dialog : dialogs_) {
        if (dialog.callId == callId) {
            return dialog;
        }
    }
    if (dialogs_.size() >= kRemembered) {
        dialogs_.pop_front();
    }
    dialogs_.push_back(Dialog{callId, 0, {}, {}});
    return dialogs_.back();
}

const SipDialogWatch::Dialog* SipDialogWatch::findDialog(const std::string& callId) const
{
    for (const Dialog& dialog : dialogs_) {
        if (dialog.callId == callId) {
            return &dialog;
        }
    }
    return nullptr;
}

}  // namespace Tarvent::VirtualChannel
