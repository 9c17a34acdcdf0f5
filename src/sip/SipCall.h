#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "sip/ISipCallCallback.h"
#include "sip/IWorkerQueueConsumer.h"
#include "sip/SipCallCallbackData.h"
#include "sip/SipCallMediaState.h"
#include "sip/SipCallStatistics.h"
#include "sip/WorkerQueue.h"

namespace linphone {
class Call;
class Core;
}  // namespace linphone

namespace Tarvent::VirtualChannel {

class SipAccount;

// One SIP call of one SipAccount on the linphone Core: the operations the
// engine starts on it (dial, answers, hangup, DTMF, hold, mutes, forward,
// merge, statistics) and the picture it keeps from the stack's reports, which
// it passes on through ISipCallCallback.
//
// Events: the linphone call's state changes arrive on the SIP core thread.
// State events (early, confirmed, terminated) are reported there at once; the
// media and hold changes (and the INVITE's transaction results, which
// liblinphone reports only as state changes) are queued to the call's own
// worker thread and reported from there, in order.
//
// While the conference runs, the call joins it when it is confirmed and
// whenever its media changes, and leaves it when it ends and before it is
// held; resumed, it joins again (see SipConference).
//
// Threads: operations from any thread, also the core thread (they run there
// inline). Create only with std::make_shared (see SipAccount).
// Lock order: `mutex` is taken on the core thread (level 3 of SipCoreThread)
// after an account's mutex; it is never held while waiting for the core
// thread, while calling a callback or while taking the device media lock.
// The device media lock (SipAudioDeviceManager::lock) is taken by dial and
// the answers before they wait for the core thread, never on the core thread.
class SipCall : public std::enable_shared_from_this<SipCall>, public IWorkerQueueConsumer<SipCallCallbackData> {
public:
    // INVITE session states as reported to the conference and the log.
    enum InviteState : std::int32_t {
        kNull = 0,
        kCalling = 1,
        kIncoming = 2,
        kEarly = 3,
        kConnecting = 4,
        kConfirmed = 5,
        kDisconnected = 6,
    };
    static constexpr int kMaxCalls = 4;
    static constexpr std::int64_t kDeletionDelayNs = 5'000'000'000;

    // `callback` must outlive the call; `account` is held weakly. An outgoing
    // call passes -1 and an empty number; an incoming one is attached to its
    // stack call by the account right after construction.
    SipCall(ISipCallCallback* callback, const std::shared_ptr<SipAccount>& account, int pjsipCallId,
            const char* localNumber);
    // Stops the worker (detached when the last reference drops on it). Never
    // waits for the core thread: the stack call is let go of on that thread
    // when it ends, or when the Core goes down.
    ~SipCall() override;

    SipCall(const SipCall&) = delete;
    SipCall& operator=(const SipCall&) = delete;

    // --- operations ---
    // Places the call to the destination URI. Throws std::runtime_error when
    // the account is gone or the destination is refused, SipError when the
    // stack refuses the call (after onCallTerminated with reason 0).
    void dial();
    void answerRinging();
    void answerBusy();
    // Accepts with audio only. A std::runtime_error is reported as
    // onCallTerminated (reason 0); SipError reaches the caller.
    void answerAudio();
    void hangup();
    void dialDtmf(const std::string& digits);
    // Pause or resume. Throws (after its log line) when the hold state would
    // not change, the account is gone or the stack refuses the request. A
    // pause that the library can't start while a re-INVITE of the call is
    // under way waits for its end (and a resume meanwhile calls it off).
    void setHold(bool hold, bool autoHoldOthers);
    // Throw std::runtime_error when the call has no media.
    void muteMicrophone(bool muted);
    void muteSpeaker(bool muted);
    // Blind transfer (REFER) to `targetNumber` at the account's realm.
    void forward(const char* targetNumber);
    // Attended transfer: a REFER that sends the far end to the account's own
    // address, with Replaces naming the dialog (Call-ID and tags) of the
    // account's first other confirmed call, which the far end's new call
    // then takes over. Throws when there is none, its dialog is not known
    // yet, or the account is gone.
    void merge();
    SipCallStatistics updateCallStatistics();
    // The first other confirmed call of `owner`, in its list order; null when none.
    std::shared_ptr<SipCall> findMergePartner(const std::shared_ptr<SipAccount>& owner);

    // --- small members ---
    bool isPending();
    bool isConfirmed();
    bool isLocalHold();
    bool isRejectedBusy();
    bool isMediaActive();
    // A hold was asked for and the call is not back from it: the conference
    // must not take it in again meanwhile.
    bool isHoldPending();
    std::string getRouteName();
    void setDestinationUri(const char* uri);
    std::string getDestinationUri();
    int getPjsipCallId() const { return pjsipCallId.load(); }
    std::shared_ptr<SipAccount> getAccount() const { return account.lock(); }
    void markForDeletion();
    bool isDueForDeletion();
    void clearDeletionMark();
    // The state last seen (InviteState).
    std::int32_t getLastState();
    SipCallMediaState getMediaState();

    // Core thread only: the stack call (null before dial and after the end).
    // The recorder and the conference work with it there.
    std::shared_ptr<linphone::Call> getLinphoneCall() const;

    // Core thread only: ties an incoming stack call to this object (takes a
    // call index). Used by SipAccount.
    void attachIncoming(const std::shared_ptr<linphone::Core>& core, const std::shared_ptr<linphone::Call>& call);
    // Core thread only, for SipAccount's incoming-call handling.
    void answerRingingOnCore();
    // After answerRingingOnCore, once the owner knows of the call: the call
    // is early from then on, and reports it (transaction record and event).
    void reportRingingOnCore();
    void answerBusyOnCore();
    void answerAudioOnCore(const std::shared_ptr<linphone::Core>& core);
    void terminateOnCore();

    void consume(SipCallCallbackData& record) override;

private:
    class Link;
    friend class Link;

    // Core thread: the stack's reports.
    void onStateChanged(const std::shared_ptr<linphone::Call>& call, int state, const std::string& message);
    void onReleased();
    void updateMedia(const std::shared_ptr<linphone::Call>& call, int state);
    void pushTransaction(int sipStatus, bool sdpOffer, const std::shared_ptr<linphone::Call>& call);
    void raiseStateEvent(std::int32_t state, int reason);
    // While the conference runs, the call joins it (or leaves it) as its
    // state and media change. No lock held; errors are logged.
    void followConference(bool join);
    // onCallTerminated (reason 0) for a dial or an answer that failed.
    void reportStartFailure(const char* operation);
    void clearHoldPending(bool failedHold);
    // Core thread: pauses the stack call, or, while a re-INVITE of it is
    // under way (the library refuses a pause then), defers the pause until
    // the call's state settles. Throws SipError when the library refuses.
    void pauseOrDefer(linphone::Call& call);
    // Core thread, from a state change: a deferred pause is tried again
    // once the call has settled (after the callback, not inside it), and
    // dropped when the call ends.
    void followDeferredHold(int state);
    void retryDeferredHold();
    void logEndOfCallStatistics(const std::shared_ptr<linphone::Call>& call);

    // Runs `operation` with the stack call on the core thread; throws
    // SipError when there is none (any more).
    template <class F>
    auto withCall(const char* what, F&& operation);
    void applyMute(bool speaker, bool muted);

    // Guards every field below except pjsipCallId (atomic) and queue.
    std::recursive_mutex mutex;
    ISipCallCallback* const callback;
    const std::weak_ptr<SipAccount> account;
    std::atomic<std::int32_t> pjsipCallId;
    std::int32_t lastState = kNull;
    std::string destinationUri;
    SipCallMediaState mediaState;
    SipCallMediaState reportedMedia;  // as the last media update reported it
    bool mediaReported = false;
    SipCallStatistics statistics;
    std::string routeName;
    std::string localNumber;
    bool awaitingAnswer = true;
    bool pending = true;
    bool confirmed = false;
    bool localHold = false;
    bool holdPending = false;
    bool holdDeferred = false;  // a pause waits for the call's re-INVITE to end
    bool microphoneMuted = false;
    bool speakerMuted = false;
    bool rejectedBusy = false;
    bool mediaActive = false;
    bool streamCreated = false;
    std::int64_t deletionDeadline = INT64_MAX;
    const std::shared_ptr<Link> link;  // the core thread's part
    WorkerQueue<SipCallCallbackData> queue;  // last: its thread starts once all else exists
};

}  // namespace Tarvent::VirtualChannel
