#include "service/CallService.h"

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "logging/Logger.h"
#include "service/AccountService.h"
#include "service/SipStackFacade.h"
#include "sip/SipAccount.h"
#include "sip/SipAudioDeviceManager.h"
#include "sip/SipCall.h"
#include "sip/SipStack.h"
#include "util/MakeString.h"

namespace Tarvent::VirtualChannel {

CallService::CallService(ICallServiceCallback* callback, std::chrono::milliseconds sweepPeriod)
    : callback_(callback), sweepPeriod_(sweepPeriod), deletionTimer_([this](Timer*) { deleteFinishedCalls(); })
{
}

CallService::~CallService()
{
    deletionTimer_.stop();
}

void CallService::setAccountService(AccountService* accountService)
{
    accountService_.store(accountService);
}

int CallService::addCall(std::shared_ptr<SipCall> call)
{
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    const int callId = nextCallId_;
    callIds_.emplace(call.get(), callId);
    calls_.emplace(callId, std::move(call));
    SipAudioDeviceManager::getInstance().setCallActive(true);
    deletionTimer_.resume();
    ++nextCallId_;
    return callId;
}

std::shared_ptr<SipCall> CallService::getCall(int callId)
{
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    const auto it = calls_.find(callId);
    if (it == calls_.end()) {
        throw std::runtime_error(makeString("Invalid call ID: callId=", callId));
    }
    return it->second;
}

int CallService::getCallObjectId(std::shared_ptr<SipCall> call)
{
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    const auto it = callIds_.find(call.get());
    return it == callIds_.end() ? -1 : it->second;
}

int CallService::getCallCount()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    return static_cast<int>(calls_.size());
}

std::shared_ptr<SipCall> CallService::getRunningCall(int callId)
{
    // The id first: the client named a call, and an unknown one is the
    // answer it can act on (a teardown leaves no call behind anyway).
    std::shared_ptr<SipCall> call = getCall(callId);
    SipStackFacade::requireStarted();
    return call;
}

void CallService::dial(int callId)
{
    getRunningCall(callId)->dial();
}

void CallService::answerAudio(int callId)
{
    getRunningCall(callId)->answerAudio();
}

void CallService::hangup(int callId)
{
    getRunningCall(callId)->hangup();
}

void CallService::dialDtmf(int callId, const char* digit)
{
    getRunningCall(callId)->dialDtmf(digit != nullptr ? digit : "");
}

void CallService::setHold(int callId, bool hold, bool autoHoldOthers)
{
    getRunningCall(callId)->setHold(hold, autoHoldOthers);
}

void CallService::muteMicrophone(int callId, bool mute)
{
    getRunningCall(callId)->muteMicrophone(mute);
}

void CallService::muteSpeaker(int callId, bool mute)
{
    getRunningCall(callId)->muteSpeaker(mute);
}

void CallService::merge(int callId)
{
    getRunningCall(callId)->merge();
}

void CallService::forward(int callId, const char* targetNumber)
{
    getRunningCall(callId)->forward(targetNumber);
}

void CallService::joinConference(int callId)
{
    SipStack::getInstance().joinConference(getRunningCall(callId));
}

void CallService::leaveConference(int callId)
{
    SipStack::getInstance().leaveConference(getRunningCall(callId));
}

SipCallStatistics CallService::getCallStatistics(int callId)
{
    const std::shared_ptr<SipCall> call = getCall(callId);
    const std::shared_ptr<SipAccount> account = call->getAccount();
    if (!account) {
        throw std::runtime_error(
            makeString("Failed to get call statistics because call does not belong to an account: pjsipCallId=",
                       call->getPjsipCallId()));
    }
    AccountService* const accountService = accountService_.load();
    const int accountId = accountService != nullptr ? accountService->getAccountObjectId(account) : -1;
    if (accountId < 0) {
        throw std::runtime_error(makeString(
            "Failed to get call statistics because no object ID for account has been found: pjsipCallId=",
            call->getPjsipCallId()));
    }
    SipCallStatistics statistics = call->updateCallStatistics();
    statistics.accountId = accountId;
    statistics.callId = callId;
    return statistics;
}

void CallService::start()
{
    deletionTimer_.start(sweepPeriod_, true);
}

void CallService::clear()
{
    std::unordered_map<int, std::shared_ptr<SipCall>> released;
    {
        const std::lock_guard<std::recursive_mutex> lock(mutex_);
        released.swap(calls_);
        callIds_.clear();
    }
    deletionTimer_.stop();
    // `released` lets go of the calls here, with no lock held.
}

void CallService::deleteFinishedCalls()
{
    std::vector<std::shared_ptr<SipCall>> released;
    {
        const std::lock_guard<std::recursive_mutex> lock(mutex_);
        for (auto it = calls_.begin(); it != calls_.end();) {
            const std::shared_ptr<SipCall>& call = it->second;
            if (!call->isDueForDeletion()) {
                ++it;
                continue;
            }
            logDebug("Deleting call: pjsipCallId=%d", call->getPjsipCallId());
            if (const std::shared_ptr<SipAccount> account = call->getAccount()) {
                account->removeCall(call);
            }
            callIds_.erase(call.get());
            released.push_back(call);
            it = calls_.erase(it);
        }
        if (calls_.empty()) {
            SipAudioDeviceManager::getInstance().setCallActive(false);
            // Nothing to sweep until the next call.
            deletionTimer_.suspend();
        }
    }
    // `released` lets go of the calls here, with no lock held.
}

void CallService::onCallTerminated(std::shared_ptr<SipCall> call, int reason)
{
    handleCallEvent(call, [this, reason](int accountId, int callId, int pjsipCallId) {
        callback_->onCallTerminated(accountId, callId, pjsipCallId, reason);
    });
}

void CallService::onCallConfirmed(std::shared_ptr<SipCall> call)
{
    handleCallEvent(call, [this](int accountId, int callId, int pjsipCallId) {
        callback_->onCallConfirmed(accountId, callId, pjsipCallId);
    });
}

void CallService::onCallEarly(std::shared_ptr<SipCall> call)
{
    handleCallEvent(call, [this, call](int accountId, int callId, int pjsipCallId) {
        callback_->onCallEarly(accountId, callId, pjsipCallId, call->getRouteName());
    });
}

void CallService::onCallMediaState(std::shared_ptr<SipCall> call, const SipCallMediaState& mediaState)
{
    if (call->isRejectedBusy()) {
        return;
    }
    handleCallEvent(call, [this, &mediaState](int accountId, int callId, int /*pjsipCallId*/) {
        callback_->onCallMediaState(accountId, callId, mediaState);
    });
}

void CallService::onCallHoldStateChanged(std::shared_ptr<SipCall> call, bool isHold)
{
    handleCallEvent(call, [this, isHold](int accountId, int callId, int pjsipCallId) {
        callback_->onCallHoldStateChanged(accountId, callId, pjsipCallId, isHold);
    });
}

void CallService::handleCallEvent(const std::shared_ptr<SipCall>& call, const ClientCall& clientCall)
{
    if (call->isRejectedBusy()) {
        return;
    }
    const int pjsipCallId = call->getPjsipCallId();
    const std::shared_ptr<SipAccount> account = call->getAccount();
    if (!account) {
        throw std::runtime_error(makeString(
            "Failed to handle call event because call does not belong to an account: pjsipCallId=", pjsipCallId));
    }
    AccountService* const accountService = accountService_.load();
    const int accountId = accountService != nullptr ? accountService->getAccountObjectId(account) : -1;
    if (accountId < 0) {
        throw std::runtime_error(makeString(
            "Failed to handle call event because no object ID for account has been found: pjsipCallId=",
            pjsipCallId));
    }
    const int callId = getCallObjectId(call);
    if (callId < 0) {
        throw std::runtime_error(makeString(
            "Failed to handle call event because no object ID for call has been found: pjsipCallId=", pjsipCallId));
    }
    clientCall(accountId, callId, pjsipCallId);
}

}  // namespace Tarvent::VirtualChannel
