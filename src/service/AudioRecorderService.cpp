#include "service/AudioRecorderService.h"

#include <stdexcept>
#include <utility>

#include "service/CallService.h"
#include "service/SipStackFacade.h"
#include "sip/SipAudioRecorder.h"
#include "sip/SipCall.h"
#include "util/MakeString.h"
#include "util/PathUtil.h"

namespace Tarvent::VirtualChannel {

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
    // The stack call belongs to the core thread: the recorder asks for it there.
    get(objectId).start([&call]() { return call->getLinphoneCall(); });
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
