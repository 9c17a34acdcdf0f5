#include "sip/SipHangupWatch.h"

#include <utility>

#include <belle-sip/belle-sip.h>
#include <linphone++/linphone.hh>

#include "logging/Logger.h"
#include "sip/SipDialogWatch.h"
#include "sip/SipError.h"
#include "sip/SipLayer.h"
#include "sip/SipShutdownHook.h"
#include "sip/SipSideProvider.h"

namespace Tarvent::VirtualChannel {

namespace {

constexpr std::chrono::milliseconds kCheckPeriod{250};
constexpr int kNoDialog = 481;
constexpr int kUnauthorized = 401;
constexpr int kProxyAuthenticationRequired = 407;

std::string text(const char* value)
{
    return value != nullptr ? value : "";
}

std::string uriText(const belle_sip_uri_t* uri)
{
    char* const raw = belle_sip_uri_to_string(uri);
    std::string result = text(raw);
    belle_sip_free(raw);
    return result;
}

}  // namespace

// Tells the watch of calls that end.
class SipHangupWatch::Hook : public linphone::CoreListener {
public:
    explicit Hook(std::weak_ptr<SipHangupWatch> owner) : owner_(std::move(owner)) {}

    void onCallStateChanged(const std::shared_ptr<linphone::Core>& /*core*/, const std::shared_ptr<linphone::Call>& call,
                            linphone::Call::State state, const std::string& /*message*/) override
    {
        if (state != linphone::Call::State::End) {
            return;
        }
        if (const std::shared_ptr<SipHangupWatch> owner = owner_.lock()) {
            try {
                owner->onCallEnded(*call);
            } catch (const std::exception& error) {
                logError("Failed to watch a hang-up: what=\"%s\"", error.what());
            } catch (...) {
                logError("Failed to watch a hang-up: what=\"unknown\"");
            }
        }
    }

private:
    const std::weak_ptr<SipHangupWatch> owner_;
};

SipHangupWatch::SipHangupWatch(std::shared_ptr<SipSideProvider> side, SipDialogWatch& dialogs)
    : side_(std::move(side)), dialogs_(dialogs), checker_([this]() { check(); })
{
}

SipHangupWatch::~SipHangupWatch() = default;

void SipHangupWatch::attach(linphone::Core& core)
{
    release();
    const SipLayer layer = SipLayer::of(core);
    if (layer.provider == nullptr) {
        OVRA_THROW_SIP_ERROR(-1, "SipHangupWatch::attach", "The SIP layer of the stack was not found");
    }
    provider_ = layer.provider;
    core.addListener(std::make_shared<Hook>(weak_from_this()));
    core.addListener(std::make_shared<SipShutdownHook>([weak = weak_from_this()]() {
        if (const std::shared_ptr<SipHangupWatch> self = weak.lock()) {
            self->release();
        }
    }));
}

void SipHangupWatch::onCallEnded(linphone::Call& call)
{
    if (provider_ == nullptr) {
        return;
    }
    const auto log = call.getCallLog();
    const std::string callId = log ? log->getCallId() : "";
    // By the far end's tag: ours shows only in what the far end sends, and
    // the ACK of an incoming call may be lost with the proxy.
    const auto remoteTag = dialogs_.remoteTag(callId);
    if (!remoteTag) {
        return;  // never established
    }
    belle_sip_dialog_t* const dialog =
        belle_sip_provider_find_dialog_with_remote_tag(provider_, callId.c_str(), remoteTag->c_str());
    if (dialog == nullptr) {
        return;
    }
    // Our hang-up is the dialog's last transaction: a BYE we sent.
    belle_sip_transaction_t* const last = belle_sip_dialog_get_last_transaction(dialog);
    const belle_sip_header_address_t* const target = belle_sip_dialog_get_remote_target(dialog);
    if (last == nullptr || target == nullptr || !BELLE_SIP_OBJECT_IS_INSTANCE_OF(last, belle_sip_client_transaction_t) ||
        text(belle_sip_transaction_get_method(last)) != "BYE") {
        return;
    }
    Watched watched;
    watched.dialog = dialog;
    belle_sip_object_ref(watched.dialog);
    watched.bye = BELLE_SIP_CLIENT_TRANSACTION(last);
    belle_sip_object_ref(watched.bye);
    watched.copy = BELLE_SIP_REQUEST(belle_sip_object_clone(BELLE_SIP_OBJECT(belle_sip_transaction_get_request(last))));
    belle_sip_object_ref(watched.copy);
    watched.callId = callId;
    watched.target = uriText(belle_sip_header_address_get_uri(target));
    watched.deadline = std::chrono::steady_clock::now() + kAnswerWait;
    watched_.push_back(std::move(watched));
    if (!checker_.running() && side_->attached()) {
        checker_.start(side_->mainLoop(), kCheckPeriod, true);
    }
}

void SipHangupWatch::check()
{
    const auto now = std::chrono::steady_clock::now();
    std::vector<Watched> still;
    std::vector<Watched> done;
    for (Watched& watched : watched_) {
        belle_sip_transaction_t* const bye = BELLE_SIP_TRANSACTION(watched.bye);
        const belle_sip_response_t* const response = belle_sip_transaction_get_response(bye);
        const int status = response != nullptr ? belle_sip_response_get_status_code(response) : 0;
        if ((status == kUnauthorized || status == kProxyAuthenticationRequired) && followChallenge(watched)) {
            still.push_back(watched);
        } else if (status >= 200) {
            if (status >= 300 && status != kNoDialog) {
                sendDirectly(watched, status);
            }
            done.push_back(watched);
        } else if (belle_sip_transaction_get_state(bye) == BELLE_SIP_TRANSACTION_TERMINATED) {
            sendDirectly(watched, SipSideProvider::kTransportFailed);  // no answer ever comes
            done.push_back(watched);
        } else if (now >= watched.deadline) {
            sendDirectly(watched, SipSideProvider::kNoAnswer);
            done.push_back(watched);
        } else {
            still.push_back(watched);
        }
    }
    watched_.swap(still);
    for (const Watched& watched : done) {
        drop(watched);
    }
    if (watched_.empty()) {
        checker_.stop();
    }
}

bool SipHangupWatch::followChallenge(Watched& watched)
{
    belle_sip_transaction_t* const last = belle_sip_dialog_get_last_transaction(watched.dialog);
    if (last == nullptr || last == BELLE_SIP_TRANSACTION(watched.bye) ||
        !BELLE_SIP_OBJECT_IS_INSTANCE_OF(last, belle_sip_client_transaction_t) ||
        text(belle_sip_transaction_get_method(last)) != "BYE") {
        return false;
    }
    belle_sip_object_ref(last);
    belle_sip_object_unref(watched.bye);
    watched.bye = BELLE_SIP_CLIENT_TRANSACTION(last);
    return true;
}

void SipHangupWatch::drop(const Watched& watched)
{
    belle_sip_object_unref(watched.bye);
    belle_sip_object_unref(watched.copy);
    belle_sip_object_unref(watched.dialog);
}

void SipHangupWatch::sendUnansweredDirectly()
{
    for (Watched& watched : watched_) {
        watched.deadline = std::chrono::steady_clock::time_point::min();
    }
    check();
}

void SipHangupWatch::sendDirectly(const Watched& watched, int status)
{
    belle_sip_uri_t* const target = belle_sip_uri_parse(watched.target.c_str());
    if (target == nullptr) {
        return;
    }
    belle_sip_request_t* const request = BELLE_SIP_REQUEST(belle_sip_object_clone(BELLE_SIP_OBJECT(watched.copy)));
    belle_sip_message_t* const message = BELLE_SIP_MESSAGE(request);
    // Past the proxies: no route, none of their credentials, a Via of ours.
    belle_sip_message_remove_header(message, BELLE_SIP_ROUTE);
    belle_sip_message_remove_header(message, BELLE_SIP_PROXY_AUTHORIZATION);
    belle_sip_message_remove_header(message, BELLE_SIP_AUTHORIZATION);
    belle_sip_message_remove_header(message, BELLE_SIP_VIA);
    belle_sip_message_add_header(message, BELLE_SIP_HEADER(belle_sip_header_via_new()));
    belle_sip_request_set_uri(request, target);
    logInfo("Hang-up not answered on the call's route, sent to the far end directly: callId=\"%s\"; status=%d; "
            "target=\"%s\"",
            watched.callId.c_str(), status, watched.target.c_str());
    const std::weak_ptr<SipHangupWatch> weak = weak_from_this();
    const bool sent = side_->send(request, "", kDirectAnswerWait, [weak, callId = watched.callId](int answer) {
        logInfo("Hang-up on the direct route answered: callId=\"%s\"; status=%d", callId.c_str(), answer);
        if (const std::shared_ptr<SipHangupWatch> self = weak.lock()) {
            --self->directInFlight_;
        }
    });
    if (sent) {
        ++directInFlight_;
    } else {
        logWarning("Failed to send a hang-up on the direct route: callId=\"%s\"", watched.callId.c_str());
    }
}

void SipHangupWatch::release()
{
    checker_.stop();
    for (const Watched& watched : watched_) {
        drop(watched);
    }
    watched_.clear();
    directInFlight_ = 0;
    provider_ = nullptr;
}

}  // namespace Tarvent::VirtualChannel
