#include "service/AudioPlayerService.h"

#include <cmath>
#include <stdexcept>
#include <utility>
#include <vector>

#include "logging/Logger.h"
#include "platform/FileSystem.h"
#include "service/SipStackFacade.h"
#include "sip/SipAudioDeviceManager.h"
#include "sip/SipAudioPlayer.h"
#include "sip/SipAudioSink.h"
#include "sip/SipStack.h"
#include "util/MakeString.h"
#include "util/PathUtil.h"

namespace Tarvent::VirtualChannel {

namespace {

// The client names a sound by its file name only; anything that could reach
// outside the sounds folder is refused.
void checkSoundFileName(const char* fileName)
{
    const std::string name = fileName != nullptr ? fileName : "";
    bool valid = !name.empty() && name.find("..") == std::string::npos;
    for (const char c : name) {
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) {
            valid = false;
        }
    }
    if (!valid) {
        throw std::runtime_error(makeString("Invalid sound file name: fileName=\"", name, "\""));
    }
}

}  // namespace

std::string AudioPlayerService::soundsDirectory()
{
    const std::string folder = executableFolder();
    return folder.empty() ? std::string() : joinPath(folder, "sounds");
}

AudioPlayerService::AudioPlayerService(CallService* callService, std::string soundsFolder)
    : callService_(callService), soundsFolder_(std::move(soundsFolder))
{
}

AudioPlayerService::~AudioPlayerService() = default;

int AudioPlayerService::createPlayer(const char* fileName, int /*callId*/, bool loop, bool extraPlaybackDevice)
{
    checkSoundFileName(fileName);
    SipStackFacade::requireStarted();
    const std::string path = joinPath(soundsFolder_, fileName);
    SipAudioDeviceManager& manager = SipAudioDeviceManager::getInstance();
    std::vector<SipAudioSink> sinks{manager.getDevMedia()};
    if (extraPlaybackDevice) {
        if (const std::optional<SipAudioSink> extra = manager.getExtraPlaybackDevice()) {
            sinks.push_back(*extra);
        }
    }
    // A muted playback device (level 0) must not stop prompts from being
    // created; the player's extra-device gain is the inverse of the level.
    float level = SipStack::getInstance().getPlaybackLevel();
    if (!std::isfinite(level) || level <= 0.0f) {
        level = 1.0f;
    }
    // Built without the lock: the build waits for the SIP core thread.
    std::unique_ptr<IAudioPlayer> player =
        std::make_unique<SipAudioPlayer>(this, path.c_str(), level, std::move(sinks), loop);
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::int32_t objectId = nextObjectId_++;
    players_.emplace(objectId, std::move(player));
    return objectId;
}

IAudioPlayer& AudioPlayerService::getPlayer(int objectId)
{
    const auto it = players_.find(objectId);
    if (it == players_.end()) {
        throw std::runtime_error(makeString("Invalid audio player ID: audioPlayerId=", objectId));
    }
    return *it->second;
}

void AudioPlayerService::removeFromPlaying(IAudioPlayer* player)
{
    playing_.erase(player);
    if (playing_.empty()) {
        SipAudioDeviceManager::getInstance().closeExtraPlaybackDevice();
    }
}

void AudioPlayerService::play(int objectId)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    IAudioPlayer& player = getPlayer(objectId);
    playing_.insert(&player);
    SipAudioDeviceManager::getInstance().openExtraPlaybackDevice();
    player.start();
}

void AudioPlayerService::stop(int objectId)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    IAudioPlayer& player = getPlayer(objectId);
    player.stop();
    removeFromPlaying(&player);
}

void AudioPlayerService::dispose(int objectId)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    IAudioPlayer& player = getPlayer(objectId);
    removeFromPlaying(&player);
    players_.erase(objectId);
}

void AudioPlayerService::disposeAll()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    playing_.clear();
    players_.clear();
    SipAudioDeviceManager::getInstance().closeExtraPlaybackDevice();
}

bool AudioPlayerService::isPlaying(int objectId)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return playing_.count(&getPlayer(objectId)) != 0;
}

void AudioPlayerService::onPlayerEof(SipAudioPlayer* player)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    // `player` may be gone already (disposed of while this waited for the
    // lock): it is only compared with the players still owned, never used.
    for (IAudioPlayer* owned : playing_) {
        if (dynamic_cast<SipAudioPlayer*>(owned) == player) {
            removeFromPlaying(owned);
            return;
        }
    }
}

}  // namespace Tarvent::VirtualChannel
