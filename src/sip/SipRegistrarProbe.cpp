#include "sip/SipRegistrarProbe.h"

#include <utility>

#include <belle-sip/belle-sip.h>

#include "logging/Logger.h"
#include "sip/SipDialogWatch.h"
#include "sip/SipSideProvider.h"

namespace Tarvent::VirtualChannel {

namespace {

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
    belle_sip_request_t* const request = side_->createRequest("OPTIONS", address_, address_, ++cseq_);
    if (request == nullptr) {
        return;  // the provider is gone with its Core
    }
    const std::string callId = SipSideProvider::callIdOf(request);
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
    // A registrar that keeps refusing probes is logged once, not every period.
    if (verdict != Verdict::Reached && (status != lastStatus_ || verdict != Verdict::Unknown)) {
        logInfo("Registrar probe answered: address=\"%s\"; status=%d; reachedUs=%d", address_.c_str(), status,
                reachedUs ? 1 : 0);
    }
    lastStatus_ = status;
    // Answered by another device of the user, the probe found no way to us.
    listener_(verdict, verdict == Verdict::Lost && isSuccess(status) ? kNotFound : status);
}

}  // namespace Tarvent::VirtualChannel
