#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "sip/IAudioPlayer.h"
#include "sip/ISipAudioPlayerCallback.h"

namespace Tarvent::VirtualChannel {

class CallService;

// Owns the sound players the client creates, by object id (ids count from 1
// and are never handed out twice): builds each player on a WAV file of the
// sounds folder with the playback device (and, when asked, the extra playback
// device) as sinks, plays, stops and disposes of them, and keeps the extra
// playback device open exactly while at least one player plays.
//
// Threads: requests on the dispatcher's worker thread; disposeAll also on the
// idle timer's and the service thread; the end of a file on the players'
// notification thread.
// Lock order: `mutex_` comes after the packet handler's mutex and before the
// players' mutexes and the engine device manager's locks.
class AudioPlayerService : public ISipAudioPlayerCallback {
public:
    // The folder "sounds" beside the executable.
    static std::string soundsDirectory();

    // `callService` is kept for the protocol's sake and not used. The players'
    // files are looked up in `soundsFolder`.
    explicit AudioPlayerService(CallService* callService, std::string soundsFolder = soundsDirectory());
    ~AudioPlayerService() override;

    AudioPlayerService(const AudioPlayerService&) = delete;
    AudioPlayerService& operator=(const AudioPlayerService&) = delete;

    // `fileName` must name a file inside the sounds folder. `callId` is
    // accepted and ignored: sounds never go into a call. A failure uses up no id.
    int createPlayer(const char* fileName, int callId, bool loop, bool extraPlaybackDevice);
    // Each throws "Invalid audio player ID: audioPlayerId=<id>" for an unknown id.
    void play(int objectId);
    void stop(int objectId);
    void dispose(int objectId);
    // Safe to call repeatedly; the id counter stays.
    void disposeAll();

    // ISipAudioPlayerCallback: the players' notification thread.
    void onPlayerEof(SipAudioPlayer* player) override;

    // Started and not stopped, ended or disposed of since. Throws for an unknown id.
    bool isPlaying(int objectId);

    const std::string& soundsFolder() const { return soundsFolder_; }

private:
    // Both with `mutex_` held.
    IAudioPlayer& getPlayer(int objectId);
    void removeFromPlaying(IAudioPlayer* player);

    std::mutex mutex_;  // guards every member below; see the lock order above
    [[maybe_unused]] CallService* const callService_;  // kept for the protocol; no operation needs it
    const std::string soundsFolder_;
    std::int32_t nextObjectId_ = 1;
    std::unordered_map<std::int32_t, std::unique_ptr<IAudioPlayer>> players_;
    std::unordered_set<IAudioPlayer*> playing_;
};

}  // namespace Tarvent::VirtualChannel
