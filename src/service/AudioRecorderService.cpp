#include "service/AudioRecorderService.h"

#include <stdexcept>
#include <utility>

#include "service/CallService.h"
#include "service/SipStackFacade.h"
#include "sip/SipAudioRecorder.h"
#include "sip/SipCall.h"
#include "sip/SipError.h"
#include "sip/SipStack.h"
#include "util/MakeString.h"
#include "util/PathUtil.h"

namespace Tarvent::VirtualChannel {

namespace {

void releaseOnCore(std::shared_ptr<linphone::Call>& stackCall)
{
    try {
        SipStack::getInstance().runOnCore([&stackCall](const SipCoreThread::CorePtr&) { stackCall.reset(); });
    } catch (const SipError&) {
        // The stack has stopped: its Core and calls are gone already.
        stackCall.reset();
    }
}

}  // namespace

AudioRecorderService::AudioRecorderService(CallService* callService, std::string recordsFolder)
    : callService_(callService), recordsFolder_(std::move(recordsFolder))
{
}

AudioRecorderService::~AudioRecorderService() = default;

int AudioRecorderService::create()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    SipStackFacade::requireStarted();
    const std::string path = joinPath(recordsFolder_, makeString("record", nextObjectId_, ".wav"));
    auto recorder = std::make_unique<SipAudioRecorder>(path.c_str());
    const std::int32_t objectId = nextObjectId_++;
    recorders_.emplace(objectId, std::move(recorder));
    return objectId;
}

SipAudioRecorder& AudioRecorderService::get(int objectId)
{
    const auto it = recorders_.find(objectId);
    if (it == recorders_.end()) {
        throw std::runtime_error(makeString("Invalid audio recorder ID: audioRecorderId=", objectId));
    }
    return *it->second;
}

void AudioRecorderService::start(int objectId, int callId)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (callId < 0) {
        throw std::runtime_error(makeString("Invalid call ID for audio recorder: ", callId));
    }
    const std::shared_ptr<SipCall> call = callService_->getCall(callId);
    SipStackFacade::requireStarted();
    if (!call->isMediaActive()) {
        throw std::runtime_error(makeString("No audio media found for call: pjsipCallId=", call->getPjsipCallId()));
    }
    SipAudioRecorder& recorder = get(objectId);
    // The stack call belongs to the core thread: it is fetched there, and
    // this reference is let go of there too, in case it became the last one.
    SipStack& stack = SipStack::getInstance();
    std::shared_ptr<linphone::Call> stackCall =
        stack.runOnCore([&call](const SipCoreThread::CorePtr&) { return call->getLinphoneCall(); });
    try {
        recorder.start(stackCall);
    } catch (...) {
        releaseOnCore(stackCall);
        throw;
    }
    releaseOnCore(stackCall);
}

void AudioRecorderService::stop(int objectId)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    get(objectId).stop();
}

void AudioRecorderService::dispose(int objectId)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    get(objectId);
    recorders_.erase(objectId);
}

void AudioRecorderService::disposeAll()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    recorders_.clear();
}

}  // namespace Tarvent::VirtualChannel
