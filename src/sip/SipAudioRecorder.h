#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace linphone {
class Call;
}

namespace Tarvent::VirtualChannel {

// Records calls into one WAV file of its own. The library records a call
// (both directions mixed) only into the call's record file, which
// CallRecordFiles gives every call when it is set up; start and stop drive
// that recording, and each stop (or destruction, or the stack's stop)
// appends what was recorded to this recorder's file.
//
// Threads: start, stop and destruction from any thread, serialised by
// `mutex_`; the call itself is touched on the core thread only, and the
// recorder lets go of it there (at the latest when the Core shuts down).
// Lock order: `mutex_` first, then the device manager's media lock, then the
// wait for the core thread; `mutex_` is never taken on the core thread.
class SipAudioRecorder {
public:
    // Creates or empties the WAV file at `filePath`. Throws SipError when the
    // stack is not running or the file can't be written, std::runtime_error
    // when `filePath` is null.
    explicit SipAudioRecorder(const char* filePath);
    // Ends a recording in progress into the file. Never throws.
    ~SipAudioRecorder();

    SipAudioRecorder(const SipAudioRecorder&) = delete;
    SipAudioRecorder& operator=(const SipAudioRecorder&) = delete;

    // Gives the call to record; called on the core thread, where the stack's
    // calls live (for example a SipCall's getLinphoneCall).
    using CallSource = std::function<std::shared_ptr<linphone::Call>()>;

    // Records the call until stop; nothing when already recording (also with
    // another call). Throws SipError when the stack is not running, there is
    // no call or it has no record file.
    void start(const CallSource& call);
    // The same with a call the caller holds.
    void start(const std::shared_ptr<linphone::Call>& call);
    // Ends the recording and appends it to the file; nothing when not
    // recording. Throws SipError when the recording can't be written.
    void stop();

    bool isRecording() const;
    const std::string& fileName() const { return fileName_; }

private:
    class Media;

    std::mutex mutex_;  // serialises start, stop and destruction; see the lock order above
    const std::string fileName_;
    std::shared_ptr<Media> media_;  // the core thread's part
};

}  // namespace Tarvent::VirtualChannel
