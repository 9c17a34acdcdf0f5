#include "sip/SipAudioRecorder.h"

#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <linphone++/linphone.hh>

#include "logging/Logger.h"
#include "sip/ISipMediaHolder.h"
#include "sip/SipAudioDeviceManager.h"
#include "sip/SipError.h"
#include "sip/SipStack.h"
#include "sip/SipWavFile.h"

namespace Tarvent::VirtualChannel {

// The linphone side of a recorder. Core thread only, apart from `recording`.
// While it records a call it is registered with the device manager, which
// finishes the recording when the Core shuts down.
class SipAudioRecorder::Media : public ISipMediaHolder,
                                public std::enable_shared_from_this<SipAudioRecorder::Media> {
public:
    explicit Media(std::string path) : path_(std::move(path)) {}

    void start(const std::shared_ptr<linphone::Core>& core, const std::shared_ptr<linphone::Call>& call)
    {
        if (recording.load()) {
            return;
        }
        if (!call) {
            OVRA_THROW_SIP_ERROR(-1, "SipAudioRecorder::start", "No call to record");
        }
        const std::shared_ptr<const linphone::CallParams> params = call->getParams();
        const std::string spool = params ? params->getRecordFile() : std::string();
        if (spool.empty()) {
            OVRA_THROW_SIP_ERROR(-1, "Call::startRecording", "The call has no record file");
        }
        SipAudioDeviceManager::getInstance().registerMediaHolder(core, shared_from_this());
        call->startRecording();
        call_ = call;
        spool_ = spool;
        recording.store(true);
    }

    // Ends the recording and appends it to the recorder's file.
    void finish()
    {
        if (!recording.load()) {
            return;
        }
        call_->stopRecording();
        call_.reset();
        recording.store(false);
        SipAudioDeviceManager::getInstance().unregisterMediaHolder(this);

        std::error_code error;
        if (!std::filesystem::exists(spool_, error)) {
            return;  // nothing was recorded (the call never had media)
        }
        const std::string spool = std::move(spool_);
        SipWavFile::append(path_, spool);
        std::filesystem::remove(spool, error);
    }

    void releaseMedia() override
    {
        try {
            finish();
        } catch (const SipError& error) {
            logError("Failed to finish call recording: reason=\"%s\"", error.reason.c_str());
        } catch (const std::exception& error) {
            logError("Failed to finish call recording: what=%s", error.what());
        }
    }

    std::atomic<bool> recording{false};

private:
    const std::string path_;
    std::shared_ptr<linphone::Call> call_;
    std::string spool_;
};

namespace {

const char* checkedPath(const char* filePath)
{
    if (filePath == nullptr) {
        throw std::runtime_error("Invalid file for audio recorder");
    }
    return filePath;
}

}  // namespace

SipAudioRecorder::SipAudioRecorder(const char* filePath)
    : fileName_(checkedPath(filePath)), media_(std::make_shared<Media>(fileName_))
{
    SipStack& stack = SipStack::getInstance();
    stack.ensureThreadRegistered();
    if (!stack.isStarted()) {
        OVRA_THROW_SIP_ERROR(-1, "SipAudioRecorder", "SIP stack is not running");
    }
    SipWavFile::createEmpty(fileName_);
}

SipAudioRecorder::~SipAudioRecorder()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!media_->recording.load()) {
        return;
    }
    SipStack& stack = SipStack::getInstance();
    stack.ensureThreadRegistered();
    try {
        stack.runOnCore([&](const std::shared_ptr<linphone::Core>&) { media_->releaseMedia(); });
    } catch (...) {
        // The stack is not running: its shutdown finishes the recording on
        // its own thread (the device manager holds it till then).
    }
}

void SipAudioRecorder::start(const std::shared_ptr<linphone::Call>& call)
{
    start(CallSource([&call]() { return call; }));
}

void SipAudioRecorder::start(const CallSource& call)
{
    logInfo("Starting audio recorder");
    SipStack& stack = SipStack::getInstance();
    stack.ensureThreadRegistered();
    const std::lock_guard<std::mutex> lock(mutex_);
    if (media_->recording.load()) {
        return;
    }
    const std::unique_lock<std::recursive_mutex> mediaLock = SipAudioDeviceManager::getInstance().lock();
    stack.runOnCore(
        [&](const std::shared_ptr<linphone::Core>& core) { media_->start(core, call ? call() : nullptr); });
}

void SipAudioRecorder::stop()
{
    logInfo("Stopping audio recorder");
    SipStack& stack = SipStack::getInstance();
    stack.ensureThreadRegistered();
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!media_->recording.load()) {
        return;
    }
    try {
        stack.runOnCore([&](const std::shared_ptr<linphone::Core>&) { media_->finish(); });
    } catch (const SipError&) {
        // Stopped meanwhile with the stack, which finished the recording.
        if (media_->recording.load()) {
            throw;
        }
    }
}

bool SipAudioRecorder::isRecording() const
{
    return media_->recording.load();
}

}  // namespace Tarvent::VirtualChannel
