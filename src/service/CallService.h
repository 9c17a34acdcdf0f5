#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "service/ICallServiceCallback.h"
#include "sip/ISipCallCallback.h"
#include "sip/SipCallStatistics.h"
#include "util/Timer.h"

namespace Tarvent::VirtualChannel {

class AccountService;
class SipCall;

// Owns every SIP call of the engine (outgoing and incoming) by call id (ids
// count from 1 and are never handed out twice), carries out the per-call
// requests, reports statistics, and removes finished calls by a periodic
// sweep (which sleeps while there is no call). It is the ISipCallCallback of every call and passes the call events
// on to its client with the account id and call id of the call.
//
// Threads: requests on the dispatcher's worker thread; clear and
// getCallCount also on the idle timer's and the service thread; addCall and
// the state events on the SIP core thread; the media and hold events on each
// call's worker thread; the sweep on the deletion timer's thread.
// Lock order: `mutex_` comes after the packet handler's and the account
// service's mutex and before every lock of the SIP engine. It is never held
// while the client is called, while the account service is asked, while a
// call operation runs, or while a call is released (a call's destructor
// stops its worker, which may be waiting for this lock).
class CallService : public ISipCallCallback {
public:
    static constexpr std::chrono::milliseconds kSweepPeriod{1000};

    // `callback` is not owned and must outlive the service.
    explicit CallService(ICallServiceCallback* callback, std::chrono::milliseconds sweepPeriod = kSweepPeriod);
    // Expects clear() to have stopped the sweep; stops it otherwise.
    ~CallService() override;

    CallService(const CallService&) = delete;
    CallService& operator=(const CallService&) = delete;

    // Set by the composition root once both services exist, null at shutdown.
    void setAccountService(AccountService* accountService);

    int addCall(std::shared_ptr<SipCall> call);
    // Throws "Invalid call ID: callId=<id>" for an unknown id.
    std::shared_ptr<SipCall> getCall(int callId);
    // -1 when the call is not in the table.
    int getCallObjectId(std::shared_ptr<SipCall> call);
    // Calls in every state, including finished ones the sweep has not removed.
    int getCallCount();

    // The operations on one call look the call id up first (see getCall),
    // then throw "SIP stack is not running" while the stack is stopped.
    void dial(int callId);
    void answerAudio(int callId);
    void hangup(int callId);
    void dialDtmf(int callId, const char* digit);
    void setHold(int callId, bool hold, bool autoHoldOthers);
    void muteMicrophone(int callId, bool mute);
    void muteSpeaker(int callId, bool mute);
    void merge(int callId);
    void forward(int callId, const char* targetNumber);
    void joinConference(int callId);
    void leaveConference(int callId);
    SipCallStatistics getCallStatistics(int callId);

    // Starts the deletion sweep (one at once, then every sweep period while
    // calls exist).
    void start();
    // Empties the tables and stops the sweep; the id counter stays. Safe to
    // call repeatedly.
    void clear();
    // The deletion timer's callback; public so that a test can sweep at will.
    void deleteFinishedCalls();

    // ISipCallCallback
    void onCallTerminated(std::shared_ptr<SipCall> call, int reason) override;
    void onCallConfirmed(std::shared_ptr<SipCall> call) override;
    void onCallEarly(std::shared_ptr<SipCall> call) override;
    void onCallMediaState(std::shared_ptr<SipCall> call, const SipCallMediaState& mediaState) override;
    void onCallHoldStateChanged(std::shared_ptr<SipCall> call, bool isHold) override;

private:
    using ClientCall = std::function<void(int accountId, int callId, int pjsipCallId)>;

    void handleCallEvent(const std::shared_ptr<SipCall>& call, const ClientCall& clientCall);
    // The call for a request, with the stack's running state checked.
    std::shared_ptr<SipCall> getRunningCall(int callId);

    // Guards the tables and the counter; see the lock order above.
    std::recursive_mutex mutex_;
    ICallServiceCallback* const callback_;
    std::atomic<AccountService*> accountService_{nullptr};
    const std::chrono::milliseconds sweepPeriod_;
    int nextCallId_ = 1;
    std::unordered_map<int, std::shared_ptr<SipCall>> calls_;
    std::unordered_map<const SipCall*, int> callIds_;
    Timer deletionTimer_;  // last: its thread may run the sweep over the members above
};

}  // namespace Tarvent::VirtualChannel
