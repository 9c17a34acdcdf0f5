#include "sip/SipCall.h"

#include <chrono>
#include <stdexcept>
#include <tuple>
#include <utility>

#include <belle-sip/belle-sip.h>
#include <linphone++/linphone.hh>
#include <linphone/api/c-call-stats.h>
#include <linphone/api/c-call.h>

#include "logging/Logger.h"
#include "sip/CallRecordFiles.h"
#include "sip/ISipMediaHolder.h"
#include "sip/SipAccount.h"
#include "sip/SipAudioDeviceManager.h"
#include "sip/SipCodecs.h"
#include "sip/SipError.h"
#include "sip/SipDialogWatch.h"
#include "sip/SipStack.h"
#include "sip/SipUriText.h"
#include "util/LogText.h"

namespace Tarvent::VirtualChannel {

namespace {

using State = linphone::Call::State;

std::int64_t steadyNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The stack's call indexes: each live stack call holds the lowest free one.
// Taken and given back on the core thread; the mutex is a leaf.
class CallIndexPool {
public:
    static CallIndexPool& instance()
    {
        static CallIndexPool pool;
        return pool;
    }
    int take()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (int i = 0; i < SipCall::kMaxCalls; ++i) {
            if (!used_[i]) {
                used_[i] = true;
                return i;
            }
        }
        return -1;
    }
    void give(int index)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (index >= 0 && index < SipCall::kMaxCalls) {
            used_[index] = false;
        }
    }

private:
    std::mutex mutex_;
    bool used_[SipCall::kMaxCalls] = {};
};

std::int32_t toInviteState(State state)
{
    switch (state) {
    case State::Idle:
        return SipCall::kNull;
    case State::OutgoingInit:
    case State::OutgoingProgress:
        return SipCall::kCalling;
    case State::IncomingReceived:
    case State::PushIncomingReceived:
        return SipCall::kIncoming;
    case State::OutgoingRinging:
    case State::OutgoingEarlyMedia:
    case State::IncomingEarlyMedia:
    case State::EarlyUpdatedByRemote:
    case State::EarlyUpdating:
        return SipCall::kEarly;
    case State::End:
    case State::Error:
    case State::Released:
        return SipCall::kDisconnected;
    default:
        return SipCall::kConfirmed;
    }
}

// The media status of the call's audio: 0 none, 1 active, 2 local hold,
// 3 remote hold, 4 error.
std::int32_t toMediaStatus(State state)
{
    switch (state) {
    case State::StreamsRunning:
        return 1;
    case State::Paused:
        return 2;
    case State::PausedByRemote:
        return 3;
    case State::Error:
        return 4;
    default:
        return 0;
    }
}

bool hasMedia(State state)
{
    switch (state) {
    case State::OutgoingEarlyMedia:
    case State::IncomingEarlyMedia:
    case State::Connected:
    case State::StreamsRunning:
    case State::Pausing:
    case State::Paused:
    case State::Resuming:
    case State::PausedByRemote:
    case State::UpdatedByRemote:
    case State::Updating:
        return true;
    default:
        return false;
    }
}

// While the call is answered or re-invited (by either side) the library
// refuses to pause it; each of these states ends by itself once the
// transaction is through.
bool isSettling(State state)
{
    switch (state) {
    case State::Connected:
    case State::Updating:
    case State::UpdatedByRemote:
    case State::Resuming:
        return true;
    default:
        return false;
    }
}

struct RtpCounters {
    bool found = false;
    std::uint64_t txPackets = 0;
    std::uint64_t txBytes = 0;
    std::uint64_t rxPackets = 0;
    std::uint64_t rxBytes = 0;
    std::int64_t lost = 0;
};

// The library's rating of the call (0 worst to 5 best): the current one and
// the average over the call. It rates both directions together: the loss
// and jitter the far end reports of what it received, times those of what
// this side received. Negative while it has rated nothing yet.
struct QualityRating {
    float current = -1.0f;
    float average = -1.0f;

    bool known() const { return average >= 0.0f && current >= 0.0f; }
};

QualityRating qualityRating(linphone::Call& call)
{
    return QualityRating{call.getCurrentQuality(), call.getAverageQuality()};
}

// The library counts each packet's RTP header in its byte counters; the
// statistics count the payload. The fixed header is what the engine's audio
// packets carry (no contributing sources, no extensions).
constexpr std::uint64_t kRtpHeaderBytes = 12;

std::uint64_t payloadBytes(std::uint64_t bytes, std::uint64_t packets)
{
    const std::uint64_t headers = packets * kRtpHeaderBytes;
    return bytes > headers ? bytes - headers : 0;
}

// The RTP counters of the call's audio stream. Through the C API: the C++
// wrapper of this library version keeps a reference too many on the stats.
RtpCounters audioCounters(linphone::Call& call)
{
    RtpCounters counters;
    LinphoneCallStats* stats = linphone_call_get_audio_stats(call.cPtr());
    if (stats == nullptr) {
        return counters;
    }
    if (const rtp_stats_t* rtp = linphone_call_stats_get_rtp_stats(stats)) {
        counters = RtpCounters{true,
                               rtp->packet_sent,
                               payloadBytes(rtp->sent, rtp->packet_sent),
                               rtp->packet_recv,
                               payloadBytes(rtp->hw_recv, rtp->packet_recv),
                               rtp->cum_packet_loss};
    }
    linphone_call_stats_unref(stats);
    return counters;
}

// The final status of a call that ended: the one it got, a redirect's too.
int finalStatus(linphone::Call& call)
{
    const auto error = call.getErrorInfo();
    const int status = error ? error->getProtocolCode() : 0;
    const auto log = call.getCallLog();
    return SipStack::getInstance().getDialogWatch().reportedStatus(log ? log->getCallId() : "", status);
}

// The provisional answer that made the call ring or bring early media, as
// the SIP layer received it; the library tells only which of the two.
SipDialogWatch::Provisional provisionalAnswer(linphone::Call& call, bool earlyMedia)
{
    const auto log = call.getCallLog();
    if (const auto answer = SipStack::getInstance().getDialogWatch().provisional(log ? log->getCallId() : "")) {
        return *answer;
    }
    return earlyMedia ? SipDialogWatch::Provisional{183, true} : SipDialogWatch::Provisional{180, false};
}

void checkStatus(int status, const char* operation)
{
    if (status != 0) {
        OVRA_THROW_SIP_ERROR(status, operation, std::string(operation) + " failed");
    }
}

std::string between(const std::string& text, char quote)
{
    const std::size_t first = text.find(quote);
    if (first == std::string::npos) {
        return "";
    }
    const std::size_t second = text.find(quote, first + 1);
    return second == std::string::npos ? "" : text.substr(first + 1, second - first - 1);
}

// The library of this version takes a call's account only as its
// (deprecated) proxy configuration.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
std::shared_ptr<linphone::ProxyConfig> findProxy(const std::shared_ptr<linphone::Core>& core, const std::string& idUri)
{
    const std::shared_ptr<linphone::Address> identity = linphone::Factory::get()->createAddress(idUri);
    if (!identity) {
        return nullptr;
    }
    for (const auto& proxy : core->getProxyConfigList()) {
        const auto address = proxy->getIdentityAddress();
        if (address && address->weakEqual(identity)) {
            return proxy;
        }
    }
    return nullptr;
}
#pragma GCC diagnostic pop

// Whether the SIP stack can put `target` into a Refer-To header. The library
// checks a transfer target with its own address parser only, then hands its
// text to the stack's header parser and uses the result unchecked: a target
// that the stricter header parser refuses (a host whose last label is a
// single character, such as "sip:carol@W") crashes it.
bool referable(const linphone::Address& target)
{
    belle_sip_header_address_t* const header = belle_sip_header_address_parse(target.asString().c_str());
    if (header == nullptr) {
        return false;
    }
    // Created floating (without an owner): a reference taken and given back frees it.
    belle_sip_object_unref(belle_sip_object_ref(header));
    return true;
}

void prepareParams(linphone::CallParams& params, const std::shared_ptr<SipAccount>& account)
{
    params.enableVideo(false);
    CallRecordFiles::assign(params);
    if (account && account->offersSrtp()) {
        params.setMediaEncryption(linphone::MediaEncryption::SRTP);
    }
}

}  // namespace

// The core thread's part of a call: the stack call and the listener on it.
// Core thread only, except construction and destruction (when it no longer
// holds the stack call). Kept alive by the device manager while it holds the
// stack call, so that the stack call always goes on the core thread.
class SipCall::Link : public linphone::CallListener,
                      public ISipMediaHolder,
                      public std::enable_shared_from_this<SipCall::Link> {
public:
    void attach(const std::shared_ptr<linphone::Core>& core, const std::shared_ptr<linphone::Call>& stackCall,
                const std::weak_ptr<SipCall>& owner)
    {
        owner_ = owner;
        call_ = stackCall;
        index_ = CallIndexPool::instance().take();
        stackCall->addListener(shared_from_this());
        SipAudioDeviceManager::getInstance().registerMediaHolder(core, shared_from_this());
    }

    int index() const { return index_; }
    const std::shared_ptr<linphone::Call>& call() const { return call_; }

    void onStateChanged(const std::shared_ptr<linphone::Call>& stackCall, linphone::Call::State state,
                        const std::string& message) override
    {
        try {
            if (const std::shared_ptr<SipCall> owner = owner_.lock()) {
                owner->onStateChanged(stackCall, static_cast<int>(state), message);
            }
        } catch (...) {
            logError("Exception in onCallState: callId=%d", index_);
        }
        if (state == linphone::Call::State::Released) {
            release();
        }
    }

    void releaseMedia() override
    {
        // The Core goes down: it ends its calls first, so this only lets go
        // of what is left.
        if (call_) {
            call_.reset();
            CallIndexPool::instance().give(index_);
        }
    }

private:
    void release()
    {
        if (!call_) {
            return;
        }
        call_.reset();
        CallIndexPool::instance().give(index_);
        SipAudioDeviceManager::getInstance().unregisterMediaHolder(this);  // may drop the last reference
    }

    std::weak_ptr<SipCall> owner_;
    std::shared_ptr<linphone::Call> call_;
    int index_ = -1;
};

SipCall::SipCall(ISipCallCallback* callbackValue, const std::shared_ptr<SipAccount>& accountValue, int pjsipCallIdValue,
                 const char* localNumberValue)
    : callback(callbackValue),
      account(accountValue),
      pjsipCallId(pjsipCallIdValue),
      localNumber(localNumberValue != nullptr ? localNumberValue : ""),
      link(std::make_shared<Link>()),
      queue(this)
{
    statistics.lastUpdateTime = steadyNowNs();
    markForDeletion();
}

SipCall::~SipCall()
{
    SipStack::getInstance().ensureThreadRegistered();
    logDebug("Destroyed SIP call: pjsipCallId=%d", pjsipCallId.load());
}

template <class F>
auto SipCall::withCall(const char* what, F&& operation)
{
    return SipStack::getInstance().runOnCore([&](const std::shared_ptr<linphone::Core>& core) {
        const std::shared_ptr<linphone::Call> stackCall = link->call();
        if (!stackCall) {
            OVRA_THROW_SIP_ERROR(-1, what, "The call has no stack call: pjsipCallId=" + std::to_string(pjsipCallId.load()));
        }
        return operation(core, stackCall);
    });
}

// ---------------------------------------------------------------- small members

bool SipCall::isPending()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    return pending;
}

bool SipCall::isConfirmed()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    return confirmed;
}

bool SipCall::isLocalHold()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    return localHold;
}

bool SipCall::isRejectedBusy()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    return rejectedBusy;
}

bool SipCall::isMediaActive()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    return mediaActive;
}

bool SipCall::isHoldPending()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    return holdPending;
}

std::string SipCall::getRouteName()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    return routeName;
}

void SipCall::setDestinationUri(const char* uri)
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    destinationUri = uri != nullptr ? uri : "";
}

std::string SipCall::getDestinationUri()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    return destinationUri;
}

void SipCall::markForDeletion()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    deletionDeadline = steadyNowNs() + kDeletionDelayNs;
}

bool SipCall::isDueForDeletion()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    return steadyNowNs() >= deletionDeadline;
}

void SipCall::clearDeletionMark()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    deletionDeadline = INT64_MAX;
}

std::int32_t SipCall::getLastState()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    return lastState;
}

SipCallMediaState SipCall::getMediaState()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    return mediaState;
}

std::shared_ptr<linphone::Call> SipCall::getLinphoneCall() const
{
    return link->call();
}

// ---------------------------------------------------------------- stack reports

void SipCall::attachIncoming(const std::shared_ptr<linphone::Core>& core, const std::shared_ptr<linphone::Call>& call)
{
    link->attach(core, call, weak_from_this());
    pjsipCallId.store(link->index());
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    lastState = kIncoming;
    // The route the call came in on, named in the To header it was sent to.
    if (const auto local = call->getCallLog()->getLocalAddress()) {
        routeName = between(local->asString(), '"');
    }
}

void SipCall::reportRingingOnCore()
{
    {
        const std::lock_guard<std::recursive_mutex> lock(mutex);
        if (lastState != kIncoming) {
            return;
        }
        lastState = kEarly;
    }
    // The 180 sent moves an incoming call to early, as a 180 received moves
    // an outgoing one: the same transaction record and early event.
    if (const std::shared_ptr<linphone::Call> call = link->call()) {
        pushTransaction(180, false, call);
    }
    raiseStateEvent(kEarly, ISipCallCallback::kReasonUnknown);
}

void SipCall::onStateChanged(const std::shared_ptr<linphone::Call>& call, int stateValue, const std::string& /*message*/)
{
    SipStack::getInstance().ensureThreadRegistered();
    const auto state = static_cast<State>(stateValue);
    const std::int32_t inviteState = toInviteState(state);
    bool changed = false;
    int reason = ISipCallCallback::kReasonUnknown;
    try {
        const std::lock_guard<std::recursive_mutex> lock(mutex);
        if (const auto local = call->getCallLog()->getLocalAddress()) {
            routeName = between(local->asString(), '"');
            if (localNumber.empty()) {
                localNumber = local->getUsername();
            }
        }
        changed = inviteState != lastState;
        lastState = inviteState;
        if (inviteState == kConfirmed) {
            confirmed = true;
            awaitingAnswer = pending = false;
        } else if (inviteState == kDisconnected) {
            confirmed = localHold = false;
            if (changed) {
                logEndOfCallStatistics(call);
            }
            awaitingAnswer = pending = false;
        }
    } catch (const std::exception& error) {
        logError("Exception in onCallState: callId=%d", pjsipCallId.load());
    }

    try {
        // The INVITE's transactions as the stack reports them.
        switch (state) {
        case State::OutgoingRinging:
        case State::OutgoingEarlyMedia: {
            const SipDialogWatch::Provisional answer = provisionalAnswer(*call, state == State::OutgoingEarlyMedia);
            pushTransaction(answer.status, answer.sdp && (answer.status == 180 || answer.status == 183), call);
            break;
        }
        case State::Connected:
            pushTransaction(200, false, call);
            break;
        case State::End:
        case State::Error:
            if (changed) {
                const int code = finalStatus(*call);
                if (code == 404) {
                    reason = ISipCallCallback::kReasonNotFound;
                } else if (code == 486) {
                    reason = ISipCallCallback::kReasonBusyHere;
                }
                if (code >= 300) {
                    pushTransaction(code, false, call);
                }
            }
            break;
        default:
            break;
        }
        if (state == State::StreamsRunning || state == State::Paused || state == State::PausedByRemote) {
            updateMedia(call, stateValue);
        } else if (state == State::End || state == State::Error) {
            // The media ends with the call, which reports that itself.
            const std::lock_guard<std::recursive_mutex> lock(mutex);
            mediaActive = streamCreated = false;
        }
    } catch (const SipError& error) {
        logError("Exception in onCallMediaState: pjsipCallId=%d; reason=\"%s\"", pjsipCallId.load(), error.reason.c_str());
    } catch (const std::exception& error) {
        logError("Exception in onCallMediaState: pjsipCallId=%d; message=\"%s\"", pjsipCallId.load(), error.what());
    }

    if (changed && (inviteState == kConfirmed || inviteState == kDisconnected)) {
        followConference(inviteState == kConfirmed);
    }
    if (changed) {
        raiseStateEvent(inviteState, reason);
    }
    if (inviteState == kDisconnected || inviteState == kNull) {
        logDebug("Marking call for deletion in [%d] seconds: pjsipCallId=%d", 5, pjsipCallId.load());
        markForDeletion();
    }
    followDeferredHold(stateValue);
}

void SipCall::followDeferredHold(int stateValue)
{
    const auto state = static_cast<State>(stateValue);
    {
        const std::lock_guard<std::recursive_mutex> lock(mutex);
        if (!holdDeferred) {
            return;
        }
        if (toInviteState(state) == kDisconnected) {
            holdDeferred = false;
            return;
        }
        if (state != State::StreamsRunning && state != State::PausedByRemote && state != State::Paused) {
            return;
        }
    }
    // The library finishes the transaction after its listeners have heard
    // of the new state: the pause goes after that.
    try {
        SipStack::getInstance().postToCore([weak = weak_from_this()](const std::shared_ptr<linphone::Core>&) {
            if (const std::shared_ptr<SipCall> self = weak.lock()) {
                self->retryDeferredHold();
            }
        });
    } catch (const SipError& error) {
        // The stack is stopping, and its calls end with it.
        logError("Failed to set call on hold: pjsipCallId=%d; reason=\"%s\"", pjsipCallId.load(),
                 error.reason.c_str());
    }
}

void SipCall::retryDeferredHold()
{
    {
        const std::lock_guard<std::recursive_mutex> lock(mutex);
        if (!holdDeferred) {
            return;  // called off, or tried already
        }
        holdDeferred = false;
    }
    logDebug("Hold call: pjsipCallId=%d", pjsipCallId.load());
    try {
        // The library refuses to pause a conference member, and it may not
        // have let the call go while the call was being re-invited.
        followConference(false);
        if (const std::shared_ptr<linphone::Call> call = link->call()) {
            pauseOrDefer(*call);
        }
    } catch (const SipError& error) {
        logError("Failed to set call on hold: pjsipCallId=%d; reason=\"%s\"", pjsipCallId.load(), error.reason.c_str());
        clearHoldPending(true);
    } catch (const std::exception& error) {
        logError("Failed to set call on hold: pjsipCallId=%d; what=\"%s\"", pjsipCallId.load(), error.what());
        clearHoldPending(true);
    }
}

void SipCall::pauseOrDefer(linphone::Call& call)
{
    const State state = call.getState();
    if (state == State::Pausing || state == State::Paused) {
        return;
    }
    if (isSettling(state)) {
        logInfo("Hold call deferred until its re-INVITE ends: pjsipCallId=%d", pjsipCallId.load());
        const std::lock_guard<std::recursive_mutex> lock(mutex);
        holdDeferred = true;
        return;
    }
    checkStatus(call.pause(), "Call::pause");
}

void SipCall::raiseStateEvent(std::int32_t state, int reason)
{
    if (state != kDisconnected && state != kConfirmed && state != kEarly) {
        return;
    }
    // A call whose last reference is being dropped has nobody to report to.
    const std::shared_ptr<SipCall> self = weak_from_this().lock();
    if (!self) {
        return;
    }
    try {
        if (state == kDisconnected) {
            callback->onCallTerminated(self, reason);
        } else if (state == kConfirmed) {
            callback->onCallConfirmed(self);
        } else {
            callback->onCallEarly(self);
        }
    } catch (const SipError& error) {
        logError("Exception in onCallState when raising an event: callId=%d; reason=\"%s\"", pjsipCallId.load(),
                 error.reason.c_str());
    } catch (const std::exception& error) {
        logError("Exception in onCallState when raising an event: callId=%d; what=\"%s\"", pjsipCallId.load(),
                 error.what());
    } catch (...) {
        logError("Exception in onCallState when raising an event: callId=%d", pjsipCallId.load());
    }
}

void SipCall::reportStartFailure(const char* operation)
{
    const std::shared_ptr<SipCall> self = weak_from_this().lock();
    if (!self) {
        return;
    }
    try {
        callback->onCallTerminated(self, ISipCallCallback::kReasonUnknown);
    } catch (const std::exception& error) {
        logError("Exception occured in %s: pjsipCallId=%d; what=\"%s\"", operation, pjsipCallId.load(), error.what());
    } catch (...) {
        logError("Exception occured in %s: pjsipCallId=%d; what=\"unknown\"", operation, pjsipCallId.load());
    }
}

void SipCall::followConference(bool join)
{
    SipStack& stack = SipStack::getInstance();
    if (!stack.isConferenceRunning()) {
        return;
    }
    const std::shared_ptr<SipCall> self = weak_from_this().lock();
    if (!self) {
        return;
    }
    try {
        if (join) {
            stack.joinConference(self);
        } else {
            stack.leaveConference(self);
        }
    } catch (const SipError& error) {
        logError("Failed to follow the conference: pjsipCallId=%d; reason=\"%s\"", pjsipCallId.load(),
                 error.reason.c_str());
    } catch (const std::exception& error) {
        logError("Failed to follow the conference: pjsipCallId=%d; what=\"%s\"", pjsipCallId.load(), error.what());
    }
}

void SipCall::pushTransaction(int sipStatus, bool sdpOffer, const std::shared_ptr<linphone::Call>& call)
{
    logDebug("SipCall::onCallTsxState: pjsipCallId=%d", pjsipCallId.load());
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    mediaState.sipStatus = sipStatus;
    if (sdpOffer && awaitingAnswer) {
        logDebug("Got SDP offer: pjsipCallId=%d", pjsipCallId.load());
        mediaState.sdpOffer = true;
    }
    if (sipStatus == 200) {
        // The other party: the To of an outgoing call, the From of an incoming one.
        if (const auto remote = call->getRemoteAddress()) {
            mediaState.displayName = remote->getDisplayName();
            mediaState.displayNumber = remote->getUsername();
        }
    }
    queue.push(SipCallCallbackData{SipCallCallbackData::kMediaState, mediaState, false});
}

void SipCall::updateMedia(const std::shared_ptr<linphone::Call>& call, int stateValue)
{
    logDebug("SipCall::onCallMediaState: pjsipCallId=%d", pjsipCallId.load());
    const std::int32_t status = toMediaStatus(static_cast<State>(stateValue));
    std::string codec;
    std::uint32_t clockRate = 0;
    bool srtp = false;
    if (status == 1) {
        const auto params = call->getCurrentParams();
        const auto payloadType = params ? params->getUsedAudioPayloadType() : nullptr;
        if (payloadType) {
            codec = payloadType->getMimeType();
            clockRate = static_cast<std::uint32_t>(SipCodecs::clockRate(*payloadType));
        }
        srtp = params && params->getMediaEncryption() != linphone::MediaEncryption::None;
    }
    bool muteMic = false;
    bool muteSpeaker = false;
    {
        const std::lock_guard<std::recursive_mutex> lock(mutex);
        mediaActive = status == 1;
        streamCreated = status >= 1 && status <= 3;
        const bool hold = status == 2;
        const bool statusChanged = mediaState.mediaState != status;
        mediaState.mediaState = status;
        const bool infoChanged = status == 1;
        if (infoChanged) {
            mediaState.codecName = codec;
            mediaState.codecClockRate = clockRate;
            mediaState.srtpActive = srtp;
            logDebug("Call media stream information: codec=\"%s\"; rate=%d", codec.c_str(), static_cast<int>(clockRate));
        }
        if (hold != localHold) {
            if (!hold && status == 1) {
                holdPending = false;  // back from hold (a conference may resume it)
            }
            localHold = hold;
            queue.push(SipCallCallbackData{SipCallCallbackData::kHoldState, SipCallMediaState{}, hold});
        }
        // The re-INVITEs the engine makes for its own ends (a new device, a
        // conference join or leave) renew the streams as they were: only a
        // change of the media reaches the owner.
        const bool reported = mediaReported && reportedMedia.mediaState == mediaState.mediaState &&
                              reportedMedia.codecName == mediaState.codecName &&
                              reportedMedia.codecClockRate == mediaState.codecClockRate &&
                              reportedMedia.srtpActive == mediaState.srtpActive;
        if ((infoChanged || statusChanged) && !reported) {
            queue.push(SipCallCallbackData{SipCallCallbackData::kMediaState, mediaState, false});
            reportedMedia = mediaState;
            mediaReported = true;
        }
        muteMic = microphoneMuted;
        muteSpeaker = speakerMuted;
    }
    // A re-INVITE renews the streams: the mutes and the levels go on again.
    if (status >= 1 && status <= 3) {
        call->setMicrophoneMuted(muteMic);
        call->setSpeakerMuted(muteSpeaker);
        SipStack::getInstance().applyLevels(call->getCore());
    }
    followConference(true);
}

void SipCall::logEndOfCallStatistics(const std::shared_ptr<linphone::Call>& call)
{
    std::string text;
    const RtpCounters rtp = audioCounters(*call);
    if (rtp.found) {
        text = "  audio: sent packets=" + std::to_string(rtp.txPackets) + "; sent bytes=" + std::to_string(rtp.txBytes) +
               "; received packets=" + std::to_string(rtp.rxPackets) + "; received bytes=" +
               std::to_string(rtp.rxBytes) + "; lost=" + std::to_string(rtp.lost);
    }
    text += "\n  duration=" + std::to_string(call->getDuration()) + " s; final status=" +
            std::to_string(finalStatus(*call));
    logInfo("End-of-Call. Call statistics dump follows:\n%s", text.c_str());
}

void SipCall::consume(SipCallCallbackData& record)
{
    // A call being destroyed has nobody left to report to.
    const std::shared_ptr<SipCall> self = weak_from_this().lock();
    if (!self) {
        return;
    }
    try {
        if (record.kind == SipCallCallbackData::kMediaState) {
            callback->onCallMediaState(self, record.mediaState);
        } else {
            callback->onCallHoldStateChanged(self, record.isHold);
        }
    } catch (const SipError& error) {
        logError("Failed to handle callback: pjsipCallId=%d; reason=\"%s\"", pjsipCallId.load(), error.reason.c_str());
    } catch (const std::exception& error) {
        logError("Failed to handle callback: pjsipCallId=%d; what=\"%s\"", pjsipCallId.load(), error.what());
    } catch (...) {
        logError("Failed to handle callback: pjsipCallId=%d; what=\"unknown\"", pjsipCallId.load());
    }
}

// ---------------------------------------------------------------- operations

void SipCall::dial()
{
    logInfo("Dialing on call");
    SipStack::getInstance().ensureThreadRegistered();
    const std::shared_ptr<SipAccount> owner = getAccount();
    if (!owner || owner->isRemoved()) {
        logError("Failed to dial because call does not belong to an account: pjsipCallId=%d", pjsipCallId.load());
        throw std::runtime_error("Failed to dial because call does not belong to an account: pjsipCallId=" +
                                 std::to_string(pjsipCallId.load()));
    }
    const std::string destination = getDestinationUri();
    {
        const auto mediaLock = SipAudioDeviceManager::getInstance().lock();
        try {
            owner->holdOtherCalls(shared_from_this());
            SipStack::getInstance().runOnCore([&](const std::shared_ptr<linphone::Core>& core) {
                if (link->call()) {
                    OVRA_THROW_SIP_ERROR(-1, "SipCall::dial", "The call was placed already");
                }
                const std::shared_ptr<linphone::Address> address = linphone::Factory::get()->createAddress(destination);
                if (!address) {
                    OVRA_THROW_SIP_ERROR(-1, "SipCall::dial", "Invalid destination URI: " + destination);
                }
                const std::shared_ptr<linphone::CallParams> params = core->createCallParams(nullptr);
                if (!params) {
                    OVRA_THROW_SIP_ERROR(-1, "Core::createCallParams", "Failed to create call parameters");
                }
                prepareParams(*params, owner);
                if (const auto proxy = findProxy(core, owner->getIdUri())) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
                    params->setProxyConfig(proxy);
#pragma GCC diagnostic pop
                }
                const std::shared_ptr<linphone::Call> call = core->inviteAddressWithParams(address, params);
                if (!call) {
                    OVRA_THROW_SIP_ERROR(-1, "Core::inviteAddressWithParams", "The stack refused the call to " + destination);
                }
                link->attach(core, call, weak_from_this());
                pjsipCallId.store(link->index());
            });
        } catch (const SipError& error) {
            logError("Failed to dial: pjsipCallId=%d; reason=\"%s\"", pjsipCallId.load(), error.reason.c_str());
            reportStartFailure("SipCall::Dial");
            markForDeletion();
            throw;
        }
    }
    owner->addCall(shared_from_this());
    clearDeletionMark();
}

void SipCall::answerRinging()
{
    SipStack::getInstance().ensureThreadRegistered();
    const auto mediaLock = SipAudioDeviceManager::getInstance().lock();
    SipStack::getInstance().runOnCore([&](const std::shared_ptr<linphone::Core>&) {
        answerRingingOnCore();
        reportRingingOnCore();
    });
}

void SipCall::answerRingingOnCore()
{
    const std::shared_ptr<linphone::Call> call = link->call();
    if (!call) {
        OVRA_THROW_SIP_ERROR(-1, "SipCall::answerRinging", "The call has no stack call");
    }
    // The Core sends its User-Agent header with every answer.
    call->notifyRinging();
    clearDeletionMark();
}

void SipCall::answerBusy()
{
    SipStack::getInstance().ensureThreadRegistered();
    const auto mediaLock = SipAudioDeviceManager::getInstance().lock();
    SipStack::getInstance().runOnCore([&](const std::shared_ptr<linphone::Core>&) { answerBusyOnCore(); });
}

void SipCall::answerBusyOnCore()
{
    {
        const std::lock_guard<std::recursive_mutex> lock(mutex);
        rejectedBusy = true;
    }
    const std::shared_ptr<linphone::Call> call = link->call();
    if (!call) {
        OVRA_THROW_SIP_ERROR(-1, "SipCall::answerBusy", "The call has no stack call");
    }
    checkStatus(call->decline(linphone::Reason::Busy), "Call::decline");
    clearDeletionMark();
}

void SipCall::answerAudio()
{
    SipStack::getInstance().ensureThreadRegistered();
    const auto mediaLock = SipAudioDeviceManager::getInstance().lock();
    SipStack::getInstance().runOnCore(
        [&](const std::shared_ptr<linphone::Core>& core) { answerAudioOnCore(core); });
}

void SipCall::answerAudioOnCore(const std::shared_ptr<linphone::Core>& core)
{
    logInfo("Answering audio: pjsipCallId=%d", pjsipCallId.load());
    try {
        const std::shared_ptr<SipAccount> owner = getAccount();
        if (owner) {
            owner->holdOtherCalls(shared_from_this());
        }
        const std::shared_ptr<linphone::Call> call = link->call();
        if (!call) {
            OVRA_THROW_SIP_ERROR(-1, "SipCall::answerAudio", "The call has no stack call");
        }
        const std::shared_ptr<linphone::CallParams> params = core->createCallParams(call);
        if (!params) {
            OVRA_THROW_SIP_ERROR(-1, "Core::createCallParams", "Failed to create call parameters");
        }
        prepareParams(*params, owner);
        checkStatus(call->acceptWithParams(params), "Call::acceptWithParams");
    } catch (const std::runtime_error& error) {
        logError("Failed to answer call: pjsipCallId=%d; what=\"%s\"", pjsipCallId.load(), error.what());
        reportStartFailure("SipCall::AnswerAudio");
    }
}

void SipCall::terminateOnCore()
{
    if (const std::shared_ptr<linphone::Call> call = link->call()) {
        call->terminate();
    }
}

void SipCall::hangup()
{
    logInfo("Hanging up call: pjsipCallId=%d", pjsipCallId.load());
    if (pjsipCallId.load() == -1) {
        throw std::runtime_error("Cannot hangup call because the pjsip call ID is invalid: pjsipCallId=" +
                                 std::to_string(pjsipCallId.load()));
    }
    SipStack::getInstance().ensureThreadRegistered();
    withCall("Call::terminate", [](const auto&, const std::shared_ptr<linphone::Call>& call) {
        checkStatus(call->terminate(), "Call::terminate");
    });
}

void SipCall::dialDtmf(const std::string& digits)
{
    SipUriText::checkDtmf(digits);
    logInfo("Dialing dtmf: pjsipCallId=%d; digit=\"%s\"", pjsipCallId.load(), digits.c_str());
    SipStack::getInstance().ensureThreadRegistered();
    const bool sent = withCall("Call::sendDtmfs", [&](const auto&, const std::shared_ptr<linphone::Call>& call) {
        // The stack takes digits in any state and sends them from a timer
        // later, on the call's audio stream. An ended call it keeps until
        // its INVITE transaction is over has let go of that stream already:
        // the timer would send into a stream that is gone.
        if (!hasMedia(call->getState())) {
            return false;
        }
        checkStatus(call->sendDtmfs(digits), "Call::sendDtmfs");
        return true;
    });
    if (!sent) {
        const std::string text =
            "Failed to dial dtmf because the call does not have media: pjsipCallId=" + std::to_string(pjsipCallId.load());
        logError("%s", text.c_str());
        throw std::runtime_error(text);
    }
}

void SipCall::setHold(bool hold, bool autoHoldOthers)
{
    logInfo("Setting call on hold: pjsipCallId=%d", pjsipCallId.load());
    SipStack::getInstance().ensureThreadRegistered();
    try {
        const std::shared_ptr<SipAccount> owner = getAccount();
        if (!owner) {
            throw std::runtime_error("Failed to hold call because it does not belong to an account: pjsipCallId=" +
                                     std::to_string(pjsipCallId.load()));
        }
        if (!hold && autoHoldOthers) {
            owner->holdOtherCalls(shared_from_this());
        }
        {
            const std::lock_guard<std::recursive_mutex> lock(mutex);
            if (!hold && holdDeferred) {
                // The pause never started: calling it off is all there is to do.
                logDebug("Deferred hold called off: pjsipCallId=%d", pjsipCallId.load());
                holdDeferred = false;
                holdPending = false;
                return;
            }
            if (hold == localHold) {
                throw std::runtime_error(
                    "Failed to set hold state on call because the hold state would not change: pjsipCallId=" +
                    std::to_string(pjsipCallId.load()) + "; holdState=" + (hold ? "1" : "0"));
            }
        }
        {
            const std::lock_guard<std::recursive_mutex> lock(mutex);
            holdPending = hold;
        }
        if (hold) {
            // The library refuses to hold a conference member: it leaves
            // first (and the library may hold it on the way out).
            followConference(false);
            logDebug("Hold call: pjsipCallId=%d", pjsipCallId.load());
            withCall("Call::pause",
                     [this](const auto&, const std::shared_ptr<linphone::Call>& call) { pauseOrDefer(*call); });
        } else if (SipStack::getInstance().isConferenceRunning() &&
                   SipStack::getInstance().resumeInConference(shared_from_this())) {
            // A plain resume would hold the call that runs; joining the
            // conference resumes this one beside it.
            logDebug("Unhold call into the conference: pjsipCallId=%d", pjsipCallId.load());
        } else {
            logDebug("Unhold call: pjsipCallId=%d", pjsipCallId.load());
            withCall("Call::resume", [](const auto&, const std::shared_ptr<linphone::Call>& call) {
                checkStatus(call->resume(), "Call::resume");
            });
        }
    } catch (const SipError& error) {
        logError("Failed to set call on hold: pjsipCallId=%d; reason=\"%s\"", pjsipCallId.load(), error.reason.c_str());
        clearHoldPending(hold);
        throw;
    } catch (const std::runtime_error& error) {
        logError("Failed to set call on hold: pjsipCallId=%d; what=\"%s\"", pjsipCallId.load(), error.what());
        clearHoldPending(hold);
        throw;
    }
}

void SipCall::clearHoldPending(bool failedHold)
{
    // A refused hold leaves the call where it was.
    if (failedHold) {
        const std::lock_guard<std::recursive_mutex> lock(mutex);
        holdPending = localHold;
    }
}

void SipCall::muteMicrophone(bool muted)
{
    logInfo("Muting microphone: pjsipCallId=%d; muted=%d", pjsipCallId.load(), muted ? 1 : 0);
    applyMute(false, muted);
}

void SipCall::muteSpeaker(bool muted)
{
    logInfo("Muting speaker: pjsipCallId=%d; muted=%d", pjsipCallId.load(), muted ? 1 : 0);
    applyMute(true, muted);
}

void SipCall::applyMute(bool speaker, bool muted)
{
    SipStack::getInstance().ensureThreadRegistered();
    const bool done = SipStack::getInstance().runOnCore([&](const std::shared_ptr<linphone::Core>&) {
        const std::shared_ptr<linphone::Call> call = link->call();
        if (!call || !hasMedia(call->getState())) {
            return false;
        }
        // Kept on the call, so that a re-INVITE's new streams stay muted.
        const std::lock_guard<std::recursive_mutex> lock(mutex);
        if (speaker) {
            call->setSpeakerMuted(muted);
            speakerMuted = muted;
        } else {
            call->setMicrophoneMuted(muted);
            microphoneMuted = muted;
        }
        // An unmuted speaker comes back at the library's own level.
        SipStack::getInstance().applyLevels(call->getCore());
        return true;
    });
    if (!done) {
        const std::string text = std::string("Failed to mute ") + (speaker ? "speaker" : "microphone") +
                                 " because it does not have media: pjsipCallId=" + std::to_string(pjsipCallId.load());
        logError("%s", text.c_str());
        throw std::runtime_error(text);
    }
}

void SipCall::forward(const char* targetNumber)
{
    const std::string number = targetNumber != nullptr ? targetNumber : "";
    const std::string user = SipUriText::escapeUser(number, "Target number");
    logInfo("Forwarding call: pjsipCallId=%d; targetNumber=\"%s\"", pjsipCallId.load(), user.c_str());
    SipStack::getInstance().ensureThreadRegistered();
    const std::shared_ptr<SipAccount> owner = getAccount();
    if (!owner) {
        throw std::runtime_error("Failed to forward because call does not belong to an account: pjsipCallId=" +
                                 std::to_string(pjsipCallId.load()));
    }
    const std::string& accountUri = owner->getIdUri();
    const std::size_t colon = accountUri.find(':');
    const std::size_t at = accountUri.find('@');
    if (colon == std::string::npos || at == std::string::npos) {
        throw std::runtime_error("Failed to forward call because account URI is invalid: accountUri=\"" + accountUri +
                                 "\"");
    }
    const std::string target = accountUri.substr(0, colon + 1) + user + accountUri.substr(at);
    withCall("Call::transferTo", [&](const auto&, const std::shared_ptr<linphone::Call>& call) {
        const std::shared_ptr<linphone::Address> address = linphone::Factory::get()->createAddress(target);
        if (!address || !referable(*address)) {
            OVRA_THROW_SIP_ERROR(-1, "Call::transferTo", "Invalid transfer target: " + target);
        }
        checkStatus(call->transferTo(address), "Call::transferTo");
    });
}

void SipCall::merge()
{
    logInfo("Merging call: pjsipCallId=%d", pjsipCallId.load());
    SipStack::getInstance().ensureThreadRegistered();
    const std::shared_ptr<SipAccount> owner = getAccount();
    if (!owner) {
        logError("Failed to merge because call does not belong to an account: pjsipCallId=%d", pjsipCallId.load());
        throw std::runtime_error("Failed to merge because call does not belong to an account: pjsipCallId=" +
                                 std::to_string(pjsipCallId.load()));
    }
    const std::shared_ptr<SipCall> partner = findMergePartner(owner);
    if (!partner) {
        logError("Failed to merge because no merge partner has been found: pjsipCallId=%d", pjsipCallId.load());
        throw std::runtime_error("Failed to merge because no merge partner has been found: pjsipCallId=" +
                                 std::to_string(pjsipCallId.load()));
    }
    withCall("Call::transferTo", [&](const auto&, const std::shared_ptr<linphone::Call>& call) {
        const std::shared_ptr<linphone::Call> partnerCall = partner->getLinphoneCall();
        if (!partnerCall) {
            OVRA_THROW_SIP_ERROR(-1, "Call::transferTo", "The merge partner has no stack call");
        }
        const std::string partnerCallId = partnerCall->getCallLog()->getCallId();
        const auto tags = SipStack::getInstance().getDialogWatch().tags(partnerCallId);
        if (!tags) {
            OVRA_THROW_SIP_ERROR(-1, "Call::transferTo",
                                 "The merge partner's dialog is not known: pjsipCallId=" +
                                     std::to_string(partner->getPjsipCallId()));
        }
        const std::shared_ptr<linphone::Address> target = linphone::Factory::get()->createAddress(owner->getIdUri());
        if (!target) {
            OVRA_THROW_SIP_ERROR(-1, "Call::transferTo", "Invalid account URI: " + owner->getIdUri());
        }
        // The far end is sent to this account's own address, to take the
        // partner's dialog over. Its tags name that dialog as the one who
        // receives the new INVITE sees it: the to-tag is that side's own tag
        // (RFC 3891), and the address is this account's. The library escapes
        // the value into the URI.
        target->setHeader("Replaces", partnerCallId + ";to-tag=" + tags->local + ";from-tag=" + tags->remote);
        logDebug("Sending merge request for call with header [%s]", logText(target->asString()).c_str());
        checkStatus(call->transferTo(target), "Call::transferTo");
    });
}

std::shared_ptr<SipCall> SipCall::findMergePartner(const std::shared_ptr<SipAccount>& owner)
{
    for (const auto& candidate : owner->getCalls()) {
        if (candidate.get() != this && candidate->isConfirmed()) {
            return candidate;
        }
    }
    return nullptr;
}

SipCallStatistics SipCall::updateCallStatistics()
{
    bool stream = false;
    {
        const std::lock_guard<std::recursive_mutex> lock(mutex);
        stream = streamCreated;
    }
    try {
        RtpCounters counters;
        QualityRating rating;
        if (stream) {
            std::tie(counters, rating) = SipStack::getInstance().runOnCore([&](const std::shared_ptr<linphone::Core>&) {
                const std::shared_ptr<linphone::Call> call = link->call();
                return call ? std::make_pair(audioCounters(*call), qualityRating(*call))
                            : std::make_pair(RtpCounters{}, QualityRating{});
            });
            if (!counters.found) {
                throw std::runtime_error("Could not find audio stream stat on call: pjsipCallId=" +
                                         std::to_string(pjsipCallId.load()));
            }
        }
        const std::lock_guard<std::recursive_mutex> lock(mutex);
        if (counters.found) {
            // The counters are reported as 32 bits: differences are taken modulo 2^32.
            const auto delta = [](std::uint64_t now, std::int32_t before) {
                return static_cast<std::int32_t>(static_cast<std::uint32_t>(now) - static_cast<std::uint32_t>(before));
            };
            statistics.txPacketsDelta = delta(counters.txPackets, statistics.txPackets);
            statistics.txBytesDelta = delta(counters.txBytes, statistics.txBytes);
            statistics.rxPacketsDelta = delta(counters.rxPackets, statistics.rxPackets);
            statistics.rxBytesDelta = delta(counters.rxBytes, statistics.rxBytes);
            statistics.txPackets = static_cast<std::int32_t>(static_cast<std::uint32_t>(counters.txPackets));
            statistics.txBytes = static_cast<std::int32_t>(static_cast<std::uint32_t>(counters.txBytes));
            statistics.rxPackets = static_cast<std::int32_t>(static_cast<std::uint32_t>(counters.rxPackets));
            statistics.rxBytes = static_cast<std::int32_t>(static_cast<std::uint32_t>(counters.rxBytes));
        }
        // Until the library has rated the call, the figures stay as they
        // were: the neutral 4.5 at first, later the last rating it gave.
        if (rating.known()) {
            statistics.averageMos = rating.average;
            statistics.txMos = rating.current;
            statistics.rxMos = rating.current;
        }
        const std::int64_t now = steadyNowNs();
        statistics.durationDelta = static_cast<std::int32_t>((now - statistics.lastUpdateTime) / 1000000);
        statistics.lastUpdateTime = now;
        return statistics;
    } catch (const SipError& error) {
        logError("Failed to update call statistics: reason=\"%s\"", error.reason.c_str());
    } catch (const std::exception& error) {
        logError("Failed to update call statistics: message=\"%s\"", error.what());
    }
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    return statistics;
}

}  // namespace Tarvent::VirtualChannel
