#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace linphone {
class Call;
}

namespace Tarvent::VirtualChannel {

// Records calls into one WAV file of its own, 16-bit mono at kSampleRate
// whatever the call's codec: the call's own audio (both directions mixed)
// while it is a plain call, the conference's mix while it is a member of
// the local conference (see SipRecordingSources). Each start appends to the
// file. The recording ends with stop, with destruction, or by itself when
// the call ends or the stack stops.
//
// The file grows in place on a thread of the recorder's own (see
// SipWavFile::append), never on the core thread; stop and destruction wait
// for it, so that the file is complete when they return.
//
// Threads: start, stop and destruction from any thread but the core
// thread, serialised by `mutex_`.
// Lock order: `mutex_` first, then the device manager's media lock, then the
// wait for the core thread; `mutex_` is never taken on the core thread.
class SipAudioRecorder {
public:
    // The rate of every recording, the one the media runs at (the local
    // conference mixes at it too).
    static constexpr int kSampleRate = 16000;

    // Creates or empties the WAV file at `filePath`. Throws SipError when the
    // stack is not running or the file can't be written, std::runtime_error
    // when `filePath` is null.
    explicit SipAudioRecorder(const char* filePath);
    // Ends a recording in progress into the file and waits for the file.
    // Never throws.
    ~SipAudioRecorder();

    SipAudioRecorder(const SipAudioRecorder&) = delete;
    SipAudioRecorder& operator=(const SipAudioRecorder&) = delete;

    // Gives the call to record; called on the core thread, where the stack's
    // calls live (for example a SipCall's getLinphoneCall).
    using CallSource = std::function<std::shared_ptr<linphone::Call>()>;

    // Records the call until stop; nothing when already recording (also with
    // another call). Throws SipError when the stack is not running, there is
    // no call, or it can't be recorded (ended, no record file, refused).
    void start(const CallSource& call);
    // The same with a call the caller holds.
    void start(const std::shared_ptr<linphone::Call>& call);
    // Ends the recording (nothing when not recording) and returns once the
    // file holds everything recorded. Throws SipError when some of it could
    // not be written (the file then holds what was written before).
    void stop();

    bool isRecording() const;
    const std::string& fileName() const { return fileName_; }

private:
    class Writer;

    // `mutex_` held: takes the recorder off its call.
    void finishRecording();

    std::mutex mutex_;  // serialises start, stop and destruction; see the lock order above
    const std::string fileName_;
    const std::shared_ptr<Writer> writer_;
};

}  // namespace Tarvent::VirtualChannel
