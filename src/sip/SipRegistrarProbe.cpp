#include "sip/SipRegistrarProbe.h"

#include <utility>

#include <belle-sip/belle-sip.h>

#include "logging/Logger.h"
#include "sip/SipDialogWatch.h"
#include "sip/SipSideProvider.h"

namespace Tarvent::VirtualChannel {

namespace {

constexpr int kMaxForwards = 70;
constexpr int kNotFound = 404;

bool isSuccess(int status)
{
    return status >= 200 && status < 300;
}

}  // namespace

SipRegistrarProbe::SipRegistrarProbe(std::shared_ptr<SipSideProvider> side, SipDialogWatch& watch,
                                     std::string address, std::string registrar, Listener listener)
    : side_(std::move(side)),
      watch_(watch),
      address_(std::move(address)),
      registrar_(std::move(registrar)),
      listener_(std::move(listener)),
      timer_([this]() { probe(); })
{
}

SipRegistrarProbe::Verdict SipRegistrarProbe::verdictOf(int status, bool reachedUs)
{
    if (isSuccess(status)) {
        // Another device of the same user answered: ours is not bound.
        return reachedUs ? Verdict::Reached : Verdict::Lost;
    }
    switch (status) {
    case 404:  // Not Found
    case 410:  // Gone
    case 480:  // Temporarily Unavailable: no binding to relay to
        return Verdict::Lost;
    case SipSideProvider::kNoAnswer:
    case SipSideProvider::kTransportFailed:
    case 504:  // Server Time-out
        return Verdict::Unanswered;
    default:
        return Verdict::Unknown;
    }
}

void SipRegistrarProbe::start(belle_sip_main_loop* loop)
{
    ++round_;
    inFlight_ = false;
    timer_.start(loop, kPeriod, true);
}

void SipRegistrarProbe::stop()
{
    ++round_;
    inFlight_ = false;
    timer_.stop();
}

void SipRegistrarProbe::probe()
{
    if (inFlight_) {
        return;  // the last one has not ended yet (it ends by kAnswerTimeout)
    }
    const std::string callId = side_->newCallId();
    if (callId.empty()) {
        return;  // the provider is gone with its Core
    }
    belle_sip_uri_t* const uri = belle_sip_uri_parse(address_.c_str());
    if (uri == nullptr) {
        logError("Invalid address for a registrar probe: address=\"%s\"", address_.c_str());
        return;
    }
    belle_sip_header_call_id_t* const callIdHeader = belle_sip_header_call_id_new();
    belle_sip_header_call_id_set_call_id(callIdHeader, callId.c_str());
    belle_sip_request_t* const request = belle_sip_request_create(
        uri, "OPTIONS", callIdHeader, belle_sip_header_cseq_create(++cseq_, "OPTIONS"),
        belle_sip_header_from_create2(address_.c_str(), BELLE_SIP_RANDOM_TAG),
        belle_sip_header_to_create2(address_.c_str(), nullptr), belle_sip_header_via_new(), kMaxForwards);
    const std::weak_ptr<SipRegistrarProbe> weak = weak_from_this();
    const std::uint64_t round = round_;
    const bool sent = side_->send(request, registrar_, kAnswerTimeout, [weak, round, callId](int status) {
        if (const std::shared_ptr<SipRegistrarProbe> self = weak.lock()) {
            self->onAnswer(round, callId, status);
        }
    });
    inFlight_ = sent;
    if (!sent) {
        logWarning("Failed to send a registrar probe: address=\"%s\"; registrar=\"%s\"", address_.c_str(),
                   registrar_.c_str());
    }
}

void SipRegistrarProbe::onAnswer(std::uint64_t round, const std::string& callId, int status)
{
    if (round != round_) {
        return;
    }
    inFlight_ = false;
    const bool reachedUs = watch_.receivedOptions(callId);
    const Verdict verdict = verdictOf(status, reachedUs);
    if (verdict != Verdict::Reached) {
        logInfo("Registrar probe answered: address=\"%s\"; status=%d; reachedUs=%d", address_.c_str(), status,
                reachedUs ? 1 : 0);
    }
    // Answered by another device of the user, the probe found no way to us.
    listener_(verdict, verdict == Verdict::Lost && isSuccess(status) ? kNotFound : status);
}

}  // namespace Tarvent::VirtualChannel
