#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace Tarvent::VirtualChannel {

class CallService;
class SipAudioRecorder;

// Owns the call recorders the client creates, by object id (ids count from 1
// and are never handed out twice). Recorder n writes "record<n>.wav" in the
// records folder and records one call between start and stop.
//
// Threads: requests on the dispatcher's worker thread; disposeAll also on the
// idle timer's and the service thread.
// Lock order: `mutex_` is held for the whole of every operation (also while
// stop, dispose and disposeAll wait for a recorder's file to be written); it
// comes after the packet handler's mutex and before the call service's mutex
// and the recorders' mutexes.
class AudioRecorderService {
public:
    // `callService` is not owned and must outlive the service. The records
    // folder must exist; the service does not create it.
    AudioRecorderService(CallService* callService, std::string recordsFolder);
    ~AudioRecorderService();

    AudioRecorderService(const AudioRecorderService&) = delete;
    AudioRecorderService& operator=(const AudioRecorderService&) = delete;

    // A failure uses up no id: the next create tries the same file name.
    int create();
    // A bad call id is reported before a bad recorder id.
    void start(int objectId, int callId);
    void stop(int objectId);
    void dispose(int objectId);
    // Safe to call repeatedly; the id counter stays.
    void disposeAll();

    const std::string& recordsFolder() const { return recordsFolder_; }

private:
    // `mutex_` held. Throws "Invalid audio recorder ID: audioRecorderId=<id>".
    SipAudioRecorder& get(int objectId);

    std::mutex mutex_;  // guards every member below; see the lock order above
    CallService* const callService_;
    const std::string recordsFolder_;
    std::int32_t nextObjectId_ = 1;
    std::unordered_map<std::int32_t, std::unique_ptr<SipAudioRecorder>> recorders_;
};

}  // namespace Tarvent::VirtualChannel
