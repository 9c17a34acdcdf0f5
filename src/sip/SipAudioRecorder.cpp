#include "sip/SipAudioRecorder.h"

#include <atomic>
#include <future>
#include <stdexcept>
#include <utility>

#include <linphone++/linphone.hh>

#include "logging/Logger.h"
#include "sip/IWorkerQueueConsumer.h"
#include "sip/SipAudioDeviceManager.h"
#include "sip/SipError.h"
#include "sip/SipRecordingSegment.h"
#include "sip/SipRecordingSources.h"
#include "sip/SipStack.h"
#include "sip/SipWavFile.h"
#include "sip/WorkerQueue.h"

namespace Tarvent::VirtualChannel {

namespace {

// One step of a recorder's file work.
struct WriteJob {
    std::shared_ptr<SipRecordingSegment> segment;     // a piece to append,
    std::shared_ptr<std::promise<std::string>> done;  // or a mark: what failed since the last mark
};

}  // namespace

// The recorder's file: takes the pieces of its recording from the core
// thread and appends them on a thread of its own, in order.
// Threads: deliver and ended on the core thread; consume on the queue's
// thread; flush on any other thread. `recording` is written on the core
// thread only and read anywhere; `failure_` is the queue's thread's alone.
class SipAudioRecorder::Writer : public SipRecordingSources::ISink, public IWorkerQueueConsumer<WriteJob> {
public:
    explicit Writer(std::string path) : path_(std::move(path)), queue_(this) {}

    // Whoever lets go of it last (the core thread when the stack stopped
    // under a recorder that was going away) waits for its file work: the
    // queue drops what it has not taken when it goes.
    ~Writer() override
    {
        try {
            flush();
        } catch (const SipError&) {
            // Logged when it happened.
        }
    }

    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void deliver(const std::shared_ptr<SipRecordingSegment>& segment) override
    {
        queue_.push(WriteJob{segment, nullptr});
    }

    void ended() override { recording.store(false); }

    void consume(WriteJob& job) override
    {
        if (job.segment) {
            append(*job.segment);
            job.segment.reset();  // the piece's file goes now, not with the whole batch
        }
        if (job.done) {
            job.done->set_value(std::move(failure_));
            failure_.clear();
        }
    }

    // Returns once every piece delivered before is in the file. Throws
    // SipError when one of them could not be written since the last flush.
    void flush()
    {
        auto done = std::make_shared<std::promise<std::string>>();
        std::future<std::string> result = done->get_future();
        queue_.push(WriteJob{nullptr, std::move(done)});
        const std::string failure = result.get();
        if (!failure.empty()) {
            OVRA_THROW_SIP_ERROR(-1, "SipAudioRecorder", failure);
        }
    }

    std::atomic<bool> recording{false};

private:
    void append(const SipRecordingSegment& segment)
    {
        std::string reason;
        try {
            SipWavFile::append(path_, segment.reader());
            return;
        } catch (const SipError& error) {
            reason = error.reason;
        } catch (const std::exception& error) {
            reason = error.what();
        }
        logError("Failed to write call recording: file=\"%s\"; reason=\"%s\"", path_.c_str(), reason.c_str());
        if (failure_.empty()) {
            failure_ = "Failed to write call recording: " + reason;
        }
    }

    const std::string path_;
    std::string failure_;  // the first failure since the last flush
    WorkerQueue<WriteJob> queue_;  // last: its thread starts once all else exists
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
    : fileName_(checkedPath(filePath)), writer_(std::make_shared<Writer>(fileName_))
{
    SipStack& stack = SipStack::getInstance();
    stack.ensureThreadRegistered();
    if (!stack.isStarted()) {
        OVRA_THROW_SIP_ERROR(-1, "SipAudioRecorder", "SIP stack is not running");
    }
    SipWavFile::createEmpty(fileName_, SipWavFile::Format{kSampleRate, 1});
}

SipAudioRecorder::~SipAudioRecorder()
{
    SipStack::getInstance().ensureThreadRegistered();
    const std::lock_guard<std::mutex> lock(mutex_);
    try {
        finishRecording();
        writer_->flush();
    } catch (const SipError& error) {
        logError("Failed to finish call recording: reason=\"%s\"", error.reason.c_str());
    } catch (const std::exception& error) {
        logError("Failed to finish call recording: what=%s", error.what());
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
    if (writer_->recording.load()) {
        return;
    }
    const std::unique_lock<std::recursive_mutex> mediaLock = SipAudioDeviceManager::getInstance().lock();
    stack.runOnCore([&](const std::shared_ptr<linphone::Core>& /*core*/) {
        const std::shared_ptr<linphone::Call> stackCall = call ? call() : nullptr;
        if (!stackCall) {
            OVRA_THROW_SIP_ERROR(-1, "SipAudioRecorder::start", "No call to record");
        }
        stack.getRecordingSources().attach(stackCall, writer_);
        writer_->recording.store(true);
    });
}

void SipAudioRecorder::stop()
{
    logInfo("Stopping audio recorder");
    SipStack::getInstance().ensureThreadRegistered();
    const std::lock_guard<std::mutex> lock(mutex_);
    finishRecording();
    writer_->flush();
}

void SipAudioRecorder::finishRecording()
{
    if (!writer_->recording.load()) {
        return;
    }
    SipStack& stack = SipStack::getInstance();
    try {
        stack.runOnCore([&](const std::shared_ptr<linphone::Core>& /*core*/) {
            stack.getRecordingSources().detach(*writer_);
            writer_->recording.store(false);
        });
    } catch (const SipError&) {
        // Stopped meanwhile with the stack, which finished the recording.
        if (writer_->recording.load()) {
            throw;
        }
    }
}

bool SipAudioRecorder::isRecording() const
{
    return writer_->recording.load();
}

}  // namespace Tarvent::VirtualChannel
