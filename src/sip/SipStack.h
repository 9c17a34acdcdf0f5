#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "sip/SipAudioLevels.h"
#include "sip/SipCoreThread.h"
#include "sip/SipError.h"
#include "sip/SipHeader.h"

namespace Tarvent::VirtualChannel {

class SipMessageTap;
class SipDialogWatch;
class SipIncomingCalls;
class SipCredentials;
class SipSideProvider;
class SipHangupWatch;
class SipAccount;
class SipCall;
class SipConference;
class SipRecordingSources;

// The process-wide SIP user agent: starts and stops the linphone Core (on its
// own SipCoreThread) with the engine's fixed transports, media settings and
// codec priorities, holds the audio levels and the microphone mute, the
// User-Agent value and the conference flag, and gives the rest of the SIP
// engine the Core through runOnCore().
// Any thread. Lock order: see SipCoreThread. start() and stop() must not be
// called on the core thread (stop would wait for itself).
class SipStack {
public:
    static SipStack& getInstance();

    // Whether calls run the media library's echo canceller. They do not: the
    // users wear headsets, which have no path from the speaker to the
    // microphone, and this library's canceller (Speex) turns the user's
    // voice down by about 14 dB whenever the far end talks at the same time.
    static constexpr bool kEchoCancellation = false;

    // A registration that failed (a registrar that is away, a connection to
    // it that dropped) is tried again after this time instead of the
    // library's minute, so that a registrar back from a restart has the
    // accounts again soon.
    static constexpr std::chrono::milliseconds kRegistrationRetry{15000};

    // Sets, for the whole process, what the media libraries only take from
    // the environment, unless the user has set it: the sound server's buffer
    // length (40 ms instead of the 20 ms the media library asks for, which
    // wakes its sound thread twice as often per call for 20 ms less delay).
    // Call before any thread is started: the environment is not thread-safe.
    static void applyProcessDefaults();

    // Nothing to do for this library: every Core access is carried to the
    // core thread by runOnCore(), so no thread needs registering. Kept at the
    // top of every SIP engine operation so that such a step has its place.
    void ensureThreadRegistered();

    // The folder beside which the stack keeps its private working files
    // (subfolder "sip", emptied at each start and after each stop). Used by
    // the next start; the process's current folder until set.
    void setWorkingDirectory(const std::string& path);

    // Throws std::runtime_error with the reason when the start fails; nothing
    // of the failed start is left then. `userAgent` must not be null.
    void start(bool noVad, const char* userAgent, bool g729Enabled, bool sipLogEnabled);
    // Hangs up all calls, destroys the Core and joins its thread. Throws
    // SipError when the calls can't be hung up (the stack stays started).
    void stop();

    bool isStarted();
    bool isConferenceRunning();
    float getPlaybackLevel();
    float getCaptureLevel();
    bool isMicrophoneMuted();

    // Priority 0 disables the codec; others enable it and place it after
    // every codec of equal or higher priority. Only the low 8 bits count.
    bool setCodecPriority(const char* codecId, int priority);

    // Levels are linear factors on the samples (1.0 unchanged) of every
    // call and of the conference's mix; negative or non-finite levels throw
    // std::runtime_error and change nothing. A capture level set while the
    // microphone is muted takes effect at the unmute.
    void setPlaybackLevel(float level);
    void setCaptureLevel(float level);
    void muteMicrophone(bool mute);

    SipHeader getUserAgentHeader();

    // Core thread only: puts the levels set since the start on every call's
    // audio and on the conference's mix (see SipAudioLevels). The calls and
    // the conference call it whenever their media changes.
    void applyLevels(const SipCoreThread::CorePtr& core);

    // The local conference (see SipConference). Any thread; they wait for
    // the core thread, so never while holding a lock that the account and
    // call callbacks take (an account's or a call's lock included).
    void startConference(const std::vector<std::shared_ptr<SipAccount>>& accounts);
    void stopConference();
    void joinConference(std::shared_ptr<SipCall> call);
    void joinConference(std::shared_ptr<SipCall> call, const std::vector<std::shared_ptr<SipCall>>& allCalls);
    void leaveConference(std::shared_ptr<SipCall> call);
    void leaveConference(std::shared_ptr<SipCall> call, const std::vector<std::shared_ptr<SipCall>>& allCalls);
    std::vector<std::shared_ptr<SipCall>> getConferenceCalls();
    // Takes a held conference call off hold by joining it to the running
    // conference (a plain resume would hold the call that runs). False, with
    // nothing done, when it is no conference call or nobody else has audio.
    bool resumeInConference(std::shared_ptr<SipCall> call);

    // The raw text of received INVITEs by Call-ID, fed from the library's
    // message log while the stack runs (emptied at each start).
    SipMessageTap& getMessageTap() { return *messageTap; }
    // What the SIP layer received for each call's dialog (see
    // SipDialogWatch); attached to each Core, it keeps calls from following
    // redirects.
    SipDialogWatch& getDialogWatch() { return *dialogWatch; }
    // Who takes each incoming call (see SipIncomingCalls); attached to each
    // Core, the accounts register with it.
    SipIncomingCalls& getIncomingCalls() { return *incomingCalls; }
    // The accounts' credentials, one set per identity (see SipCredentials);
    // core thread only, like the Core.
    SipCredentials& getCredentials() { return *credentials; }
    // What the recorders record from (core thread only; see SipRecordingSources).
    SipRecordingSources& getRecordingSources() { return *recordingSources; }
    // The engine's own SIP provider on the running Core's stack (see
    // SipSideProvider); core thread only, like the Core.
    const std::shared_ptr<SipSideProvider>& getSideProvider() { return sideProvider; }

    // Runs `operation` (callable with `const std::shared_ptr<linphone::Core>&`)
    // on the core thread and returns its result; its exceptions reach the
    // caller. Throws SipError when the stack is not started. Never call it
    // while holding a lock that core-thread code may take (see SipCoreThread).
    template <class F>
    auto runOnCore(F&& operation) -> std::invoke_result_t<F&, const SipCoreThread::CorePtr&>;
    // Queues `operation` for the core thread (see SipCoreThread::postLater).
    // Throws SipError when the stack is not running.
    void postToCore(std::function<void(const SipCoreThread::CorePtr&)> operation);

private:
    friend class SipConference;

    SipStack();
    ~SipStack();

    std::shared_ptr<SipCoreThread> coreThreadOrThrow();
    SipCoreThread::CorePtr createCore(bool sipLogEnabled);
    void listCodecs(linphone::Core& core);
    void applyCodecPriority(linphone::Core& core, const std::string& codecId, unsigned priority);
    void disableCodec(const std::string& codecId);
    // Takes down what the start made so far and throws std::runtime_error(reason).
    [[noreturn]] void failStart(const std::string& reason, std::shared_ptr<SipCoreThread> thread);
    void shutDown(std::shared_ptr<SipCoreThread> thread);
    // Part of the stop: sends the hang-ups that the calls' routes did not
    // deliver to the far ends directly, and waits a moment for the answers.
    void deliverHangups(SipCoreThread& thread);

    void setConferenceRunning(bool running);
    SipAudioLevels::Levels currentLevels();
    // applyLevels from any thread; nothing when the stack is not running.
    void refreshLevels();

    std::mutex lifecycleMutex_;  // serialises start and stop; lock order level 1

    // Guards every member below; lock order level 3. Held only for short
    // reads and writes: never while waiting for the core thread, never while
    // calling into the library. The levels, the mute flag and the codec
    // priorities are written only on the core thread, after the library call
    // that applies them, so a failing call leaves them unchanged.
    std::recursive_mutex mutex;
    std::shared_ptr<SipCoreThread> coreThread;  // set while started
    const std::shared_ptr<SipMessageTap> messageTap;  // set at construction; thread-safe itself
    const std::unique_ptr<SipDialogWatch> dialogWatch;  // set at construction; thread-safe itself
    const std::unique_ptr<SipIncomingCalls> incomingCalls;  // set at construction; thread-safe itself
    const std::unique_ptr<SipCredentials> credentials;      // set at construction; core thread only
    const std::shared_ptr<SipSideProvider> sideProvider;  // set at construction; core thread only
    const std::shared_ptr<SipHangupWatch> hangupWatch;     // set at construction; core thread only
    const std::unique_ptr<SipConference> conference;   // set at construction; thread-safe itself
    const std::unique_ptr<SipRecordingSources> recordingSources;  // set at construction; core thread only
    std::string workingDirectory;
    std::map<std::string, unsigned> codecPriorities;  // priorities set since the start, by codec id
    bool started = false;
    bool conferenceRunning = false;
    float playbackLevel = 1.0f;
    float captureLevel = 1.0f;
    // What the running Core's streams get: the levels set since its start
    // (a new Core starts at 1.0, whatever is stored above).
    SipAudioLevels::Levels appliedLevels;
    bool microphoneMuted = false;
    std::string userAgent;
};

template <class F>
auto SipStack::runOnCore(F&& operation) -> std::invoke_result_t<F&, const SipCoreThread::CorePtr&>
{
    const std::shared_ptr<SipCoreThread> thread = coreThreadOrThrow();
    return thread->run(std::forward<F>(operation));
}

}  // namespace Tarvent::VirtualChannel
