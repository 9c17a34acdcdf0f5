#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "service/AudioDeviceSnapshot.h"
#include "service/IAudioDeviceManagerServiceCallback.h"
#include "sip/ISipAudioDeviceManagerCallback.h"
#include "sip/ISoundIoManagerCallback.h"
#include "util/VersionedBase.h"

namespace Tarvent::VirtualChannel {

class SipStackFacade;

// The protocol's one audio device manager (object id 1): gives every sound
// device an object id tied to its name for the life of the process, keeps the
// client's view of the device list (AudioDeviceSnapshot), creates the engine's
// device manager on request, drives its refresh, passes device changes to the
// client, selects devices by object id and passes the protocol version on.
//
// Threads: requests on the dispatcher's worker thread; the teardown also on
// the idle timer's and the service thread; device changes on the engine's
// refresh timer thread.
// Lock order: `mutex_` comes after the packet handler's mutex and before the
// engine device manager's locks; it is never held while the client is
// called, nor by startDeviceRefresh/stopDeviceRefresh (stopping waits for a
// refresh that may be waiting for this lock).
class AudioDeviceManagerService : public VersionedBase,
                                  public ISoundIoManagerCallback,
                                  public ISipAudioDeviceManagerCallback {
public:
    static constexpr int kObjectId = 1;

    // Neither pointer is owned; both must outlive the service.
    AudioDeviceManagerService(IAudioDeviceManagerServiceCallback* listener, SipStackFacade* facade);
    ~AudioDeviceManagerService() override;

    AudioDeviceManagerService(const AudioDeviceManagerService&) = delete;
    AudioDeviceManagerService& operator=(const AudioDeviceManagerService&) = delete;

    // Initialises the engine's device manager once until reset; always 1.
    // Throws "SIP stack is not running" when the stack is stopped.
    int create();
    AudioDeviceSnapshot getSnapshot();
    void startDeviceRefresh();
    // Safe to call repeatedly.
    void stopDeviceRefresh();
    // The next create initialises again; device ids stay. Safe to call repeatedly.
    void reset();
    void setDefaultDevices(int newDefaultInputObjectId, int newDefaultOutputObjectId);
    // -1: no extra playback device.
    void setExtraPlaybackDevice(int objectId);

    // Stores the version and passes it on to the engine's device objects.
    void setVersion(int version) override;

    // ISipAudioDeviceManagerCallback: the engine's refresh thread.
    void onAudioDevicesChanged(const SipAudioDeviceList& devices) override;
    // ISoundIoManagerCallback: nothing raises it.
    void onSoundIoDevicesChanged() override;

private:
    // All three with `mutex_` held.
    std::int32_t idForName(const std::string& name);
    const std::string& nameForId(std::int32_t objectId) const;
    AudioDeviceSnapshot buildDeviceList(const SipAudioDeviceList& devices);

    std::mutex mutex_;  // guards every member below; see the lock order above
    bool created_ = false;
    IAudioDeviceManagerServiceCallback* const listener_;
    [[maybe_unused]] SipStackFacade* const facade_;  // kept for the protocol; no operation needs it
    std::int32_t nextObjectId_ = 1;
    AudioDeviceSnapshot snapshot_;
    std::unordered_map<std::string, std::int32_t> idsByName_;
    std::unordered_map<std::int32_t, std::string> namesById_;
};

}  // namespace Tarvent::VirtualChannel
