#include "sip/SipAudioPlayer.h"

#include <atomic>
#include <cmath>
#include <stdexcept>
#include <utility>

#include <linphone++/linphone.hh>

#include "logging/Logger.h"
#include "sip/IWorkerQueueConsumer.h"
#include "sip/ISipMediaHolder.h"
#include "sip/SipAudioDeviceManager.h"
#include "sip/SipError.h"
#include "sip/SipStack.h"
#include "sip/SipWavFile.h"
#include "sip/WorkerQueue.h"

namespace Tarvent::VirtualChannel {

namespace {

float extraDeviceGain(float playbackLevel)
{
    const float gain = 1.0f / playbackLevel;
    if (!std::isfinite(playbackLevel) || playbackLevel <= 0.0f || !std::isfinite(gain)) {
        throw std::runtime_error("Invalid playback level for audio player: level=" +
                                 std::to_string(playbackLevel));
    }
    return gain;
}

}  // namespace

// Reports the end of the file on a thread of its own, so that the listener
// may wait for a lock that is held while someone waits for the core thread.
// Each pending report holds the notifier, so the player may go away at any
// time: a report that finds the player detached is dropped, and a notifier
// whose last holder is its own thread lets that thread end by itself.
class SipAudioPlayer::EofNotifier : public IWorkerQueueConsumer<std::shared_ptr<SipAudioPlayer::EofNotifier>> {
public:
    EofNotifier(SipAudioPlayer* player, ISipAudioPlayerCallback* listener)
        : player_(player), listener_(listener), queue_(std::make_unique<Queue>(this))
    {
    }

    // Any thread.
    static void post(const std::shared_ptr<EofNotifier>& notifier) { notifier->queue_->push(notifier); }

    // The player is going away: no report after this returns, except one
    // that is being delivered right now.
    void detach()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        player_ = nullptr;
    }

    void consume(std::shared_ptr<EofNotifier>& /*self*/) override
    {
        SipAudioPlayer* player = nullptr;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            player = player_;
        }
        if (player != nullptr && listener_ != nullptr) {
            listener_->onPlayerEof(player);
        }
    }

private:
    using Queue = WorkerQueue<std::shared_ptr<EofNotifier>>;

    std::mutex mutex_;  // guards player_; a leaf lock, never held while calling out
    SipAudioPlayer* player_;
    ISipAudioPlayerCallback* const listener_;
    std::unique_ptr<Queue> queue_;  // last: stops its thread before the rest goes
};

// The linphone side of a player. Core thread only, apart from `playing`.
// While it holds linphone players it is registered with the device manager,
// which releases it when the Core shuts down.
class SipAudioPlayer::Media : public ISipMediaHolder, public std::enable_shared_from_this<SipAudioPlayer::Media> {
public:
    Media(std::string path, std::vector<SipAudioSink> sinks, bool loop, float extraGain,
          std::weak_ptr<EofNotifier> notifier)
        : path_(std::move(path)),
          sinks_(std::move(sinks)),
          loop_(loop),
          extraGain_(extraGain),
          notifier_(std::move(notifier))
    {
    }

    void start(const std::shared_ptr<linphone::Core>& core)
    {
        if (playing.load()) {
            return;
        }
        release();  // what an ended file left
        if (!listener_) {
            listener_ = std::make_shared<Listener>(weak_from_this());
        }
        SipAudioDeviceManager::getInstance().registerMediaHolder(core, shared_from_this());
        try {
            for (const SipAudioSink& sink : sinks_) {
                std::shared_ptr<linphone::AudioDevice> device;
                const std::shared_ptr<linphone::Player> player = openPlayer(core, sink, device);
                if (!player) {
                    continue;
                }
                player->addListener(listener_);
                players_.push_back(player);
                if (player->start() != 0) {
                    OVRA_THROW_SIP_ERROR(-1, "Player::start", "Failed to start audio player: file=\"" + path_ + "\"");
                }
                // The gain exists once the player runs.
                if (sink.kind == SipAudioSink::Kind::ExtraDevice && extraGain_ != 1.0f) {
                    player->setVolumeGain(volumeGain(*device, extraGain_));
                }
            }
        } catch (...) {
            release();
            throw;
        }
        playing.store(true);
    }

    // Also takes what an ended file left.
    void stop() { release(); }

    void releaseMedia() override { release(); }

    void onEof(const std::shared_ptr<linphone::Player>& player)
    {
        if (!playing.load() || players_.empty()) {
            return;
        }
        if (loop_) {
            player->seek(0);
            player->start();
            return;
        }
        // The playback device's player ends the sound for every sink. The
        // players stay (paused at their end) until the next start, stop or
        // release: the library can't take a player closed from inside its
        // own end-of-file report.
        if (player->cPtr() != players_.front()->cPtr()) {
            return;
        }
        for (const std::shared_ptr<linphone::Player>& other : players_) {
            if (other->cPtr() != player->cPtr()) {
                other->pause();
            }
        }
        playing.store(false);
        if (const std::shared_ptr<EofNotifier> notifier = notifier_.lock()) {
            EofNotifier::post(notifier);
        }
    }

    std::atomic<bool> playing{false};

private:
    class Listener : public linphone::PlayerListener {
    public:
        explicit Listener(std::weak_ptr<Media> media) : media_(std::move(media)) {}

        void onEofReached(const std::shared_ptr<linphone::Player>& player) override
        {
            if (const std::shared_ptr<Media> media = media_.lock()) {
                media->onEof(player);
            }
        }

    private:
        std::weak_ptr<Media> media_;
    };

    // A player on the device `sink` stands for, with the file open; null
    // when an extra device is not there.
    std::shared_ptr<linphone::Player> openPlayer(const std::shared_ptr<linphone::Core>& core, const SipAudioSink& sink,
                                                 std::shared_ptr<linphone::AudioDevice>& device)
    {
        device = SipAudioDeviceManager::getInstance().resolveSink(core, sink);
        if (!device) {
            if (sink.kind == SipAudioSink::Kind::ExtraDevice) {
                return nullptr;
            }
            OVRA_THROW_SIP_ERROR(-1, "SipAudioPlayer", "No playback device for audio player");
        }
        const std::shared_ptr<linphone::Player> player = core->createLocalPlayer(device->getId(), "", nullptr);
        if (!player) {
            OVRA_THROW_SIP_ERROR(-1, "Core::createLocalPlayer",
                                 "Failed to create audio player: device=\"" + device->getDeviceName() + "\"");
        }
        if (player->open(path_) != 0) {
            player->close();
            OVRA_THROW_SIP_ERROR(-1, "Player::open", "Failed to open sound file: file=\"" + path_ + "\"");
        }
        return player;
    }

    void release()
    {
        for (const std::shared_ptr<linphone::Player>& player : players_) {
            player->removeListener(listener_);
            player->close();
        }
        players_.clear();
        playing.store(false);
        SipAudioDeviceManager::getInstance().unregisterMediaHolder(this);
    }

    // The player's gain is its sound stream's volume; the sound server's
    // volume scale is cubic (its cube is the factor on the samples).
    static float volumeGain(const linphone::AudioDevice& device, float factor)
    {
        return device.getDriverName() == "PulseAudio" ? std::cbrt(factor) : factor;
    }

    const std::string path_;
    const std::vector<SipAudioSink> sinks_;
    const bool loop_;
    const float extraGain_;
    const std::weak_ptr<EofNotifier> notifier_;
    std::vector<std::shared_ptr<linphone::Player>> players_;  // the first is on the playback device
    // Held by every player it listens to; it holds the media only weakly.
    std::shared_ptr<Listener> listener_;
};

SipAudioPlayer::SipAudioPlayer(ISipAudioPlayerCallback* listener, const char* filePath, float playbackLevel,
                               std::vector<SipAudioSink> sinks, bool loop)
    : listener_(listener), fileName_(filePath != nullptr ? filePath : ""), loop_(loop)
{
    if (filePath == nullptr) {
        throw std::runtime_error("Invalid sound file for audio player");
    }
    const float extraGain = extraDeviceGain(playbackLevel);
    SipStack& stack = SipStack::getInstance();
    stack.ensureThreadRegistered();
    if (!loop_) {
        notifier_ = std::make_shared<EofNotifier>(this, listener_);
    }
    if (!stack.isStarted()) {
        OVRA_THROW_SIP_ERROR(-1, "SipAudioPlayer", "SIP stack is not running");
    }
    // Checked here rather than by opening a library player: one that is
    // opened and closed without playing leaks its filters.
    SipWavFile::readFormat(fileName_);
    media_ = std::make_shared<Media>(fileName_, std::move(sinks), loop_, extraGain, notifier_);
}

SipAudioPlayer::~SipAudioPlayer()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (notifier_) {
        notifier_->detach();
    }
    SipStack& stack = SipStack::getInstance();
    stack.ensureThreadRegistered();
    try {
        stack.runOnCore([&](const std::shared_ptr<linphone::Core>&) { media_->stop(); });
    } catch (...) {
        // The stack is not running: its shutdown has released the media, or
        // will on its own thread (the device manager holds them till then).
    }
}

void SipAudioPlayer::start()
{
    logInfo("Starting audio player");
    SipStack& stack = SipStack::getInstance();
    stack.ensureThreadRegistered();
    const std::lock_guard<std::mutex> lock(mutex_);
    if (media_->playing.load()) {
        return;
    }
    const std::unique_lock<std::recursive_mutex> mediaLock = SipAudioDeviceManager::getInstance().lock();
    stack.runOnCore([&](const std::shared_ptr<linphone::Core>& core) { media_->start(core); });
}

void SipAudioPlayer::stop()
{
    logInfo("Stopping audio player");
    SipStack& stack = SipStack::getInstance();
    stack.ensureThreadRegistered();
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!media_->playing.load()) {
        return;
    }
    try {
        stack.runOnCore([&](const std::shared_ptr<linphone::Core>&) { media_->stop(); });
    } catch (const SipError&) {
        // Stopped meanwhile with the stack, which released the media.
        if (media_->playing.load()) {
            throw;
        }
    }
}

bool SipAudioPlayer::isPlaying() const
{
    return media_->playing.load();
}

}  // namespace Tarvent::VirtualChannel
