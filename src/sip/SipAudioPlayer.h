#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sip/IAudioPlayer.h"
#include "sip/ISipAudioPlayerCallback.h"
#include "sip/SipAudioSink.h"

namespace Tarvent::VirtualChannel {

// Plays one sound file (WAV) on a fixed set of sinks (the playback device in
// use and, while open, the extra playback device), once or in a loop, and
// reports the end of a file that does not loop to its listener.
//
// Each start gives every sink a local linphone player of its own on the
// device the sink stands for at that moment; stop, a stop of the stack and
// destruction close them (after the end of a file they wait, paused, for the
// next start or stop). The linphone objects live on the core thread only and
// are never used after the Core is gone.
//
// Levels: the stack's playback level applies to calls on the playback device;
// prompts keep their own level there (gain 1.0). On the extra playback device
// a prompt plays with the gain 1.0 / playbackLevel.
//
// Threads: start, stop and destruction from any thread (one at a time per
// player, serialised by `mutex_`); the end of the file is handled on the core
// thread and reported on the player's notification thread.
// Lock order: `mutex_` first, then the device manager's media lock, then the
// wait for the core thread; `mutex_` is never taken on the core thread.
class SipAudioPlayer : public IAudioPlayer {
public:
    // Throws std::runtime_error when `playbackLevel` is not finite and above
    // 0 or `filePath` is null, and SipError when the stack is not running or
    // the file is not a 16-bit PCM WAV file. `listener` may be null and must outlive the player.
    SipAudioPlayer(ISipAudioPlayerCallback* listener, const char* filePath, float playbackLevel,
                   std::vector<SipAudioSink> sinks, bool loop);
    // Stops playing without a report. Never throws.
    ~SipAudioPlayer() override;

    SipAudioPlayer(const SipAudioPlayer&) = delete;
    SipAudioPlayer& operator=(const SipAudioPlayer&) = delete;

    // Plays from the start of the file; nothing when already playing.
    // Throws SipError when the stack is not running or the sound can't be played.
    void start() override;
    // Stops and rewinds; nothing when not playing (also after the stack stopped).
    void stop() override;

    bool isPlaying() const;
    const std::string& fileName() const { return fileName_; }

private:
    class Media;
    class EofNotifier;

    ISipAudioPlayerCallback* const listener_;
    std::mutex mutex_;  // serialises start, stop and destruction; see the lock order above
    const std::string fileName_;
    const bool loop_;
    std::shared_ptr<EofNotifier> notifier_;  // null for a looping player (it never ends)
    std::shared_ptr<Media> media_;           // the core thread's part
};

}  // namespace Tarvent::VirtualChannel
