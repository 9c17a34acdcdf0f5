#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sip/ISipAudioDeviceManagerCallback.h"
#include "sip/ISipMediaHolder.h"
#include "sip/SipAudioDevice.h"
#include "sip/SipAudioDeviceList.h"
#include "sip/SipAudioSink.h"
#include "util/Timer.h"
#include "util/VersionedBase.h"

namespace linphone {
class AudioDevice;
class Core;
}  // namespace linphone

namespace Tarvent::VirtualChannel {

// The engine's view of the sound devices: lists the devices of the platform's
// sound server (PulseAudio when one runs, ALSA otherwise), looks at the list
// every 3000 ms and reports changes to one listener, selects the capture,
// playback and extra playback device by name, and tells the holders of
// linphone media objects when the Core goes down.
//
// A tick re-reads the devices only when the sound server reported a change
// since the last re-read (SoundIoManager), or when no server can be watched,
// and in any case every kQuietTicksPerRescan-th tick.
//
// While calls exist the ticks re-read nothing, except once after the sound
// server came back (SipPulseServer has a new connection): that re-read is
// reported even when the list is the same, so the client learns that its
// devices belong to a new server. The calls' own streams find the new server
// by themselves (SipPulseStream); while the server is away they keep their
// devices.
//
// A selection is kept by name and applied again after every refresh, because
// the position of a device in the enumeration moves when devices come and go;
// a selected device that disappears gives way to the system default until it
// is back. A selection changed during a call is renegotiated into the call.
//
// Threads: any thread calls the operations; the refresh runs on the refresh
// Timer's thread; linphone work runs on the SIP core thread (SipStack::runOnCore).
// Lock order (see SipCoreThread for levels 1-4):
//   media mutex (lock()): between level 1 and 2. Held while waiting for the
//     core thread (the enumeration runs under it); never taken on the core
//     thread. Callers take their own object locks before it.
//   the Core hook's mutex, then the state mutex: level 3. Taken on the core
//     thread too (the hook's only there, when a Core shuts down); never held
//     while waiting for the core thread or while calling the listener.
// The media holders are told of a shutdown holding only the hook's mutex.
// The SoundIoManager and the SipPulseServer are asked with no lock of this
// manager held.
class SipAudioDeviceManager : public VersionedBase {
public:
    static constexpr const char* kDefaultCaptureId = "default_capture_device";
    static constexpr const char* kDefaultPlaybackId = "default_playback_device";
    static constexpr int kDefaultCaptureIndex = -1;
    static constexpr int kDefaultPlaybackIndex = -2;
    static constexpr std::chrono::milliseconds kRefreshPeriod{3000};
    // Once a minute the devices are re-read even without a reported change,
    // should one have escaped the sound server's events.
    static constexpr int kQuietTicksPerRescan = 20;

    static SipAudioDeviceManager& getInstance();

    SipAudioDeviceManager(const SipAudioDeviceManager&) = delete;
    SipAudioDeviceManager& operator=(const SipAudioDeviceManager&) = delete;

    // `listener` may be null (no reports) and must outlive the manager or the
    // next initialize. With protocol version 2 or higher the list is filled at
    // once, without a report.
    void initialize(ISipAudioDeviceManagerCallback* listener);
    void startRefreshTimer();
    // Waits for a running refresh; must not be called from the listener.
    void stopRefreshTimer();
    // Re-reads the devices (always, whatever the sound server reported);
    // logs failures (the stack not running included) instead of throwing.
    // Reports a change to the listener when `notify`.
    void refreshDevices(bool notify);
    SipAudioDeviceList getDevices();

    // Select by name (a prefix of the id of a listed device of the
    // direction: capture devices for the capture, playback devices for the
    // others). Throw std::runtime_error when no such device matches,
    // SipError when the stack is not running or the selection fails.
    void setCaptureDevice(const char* name);
    void setPlaybackDevice(const char* name);
    void setExtraPlaybackDevice(const char* name);
    void clearExtraPlaybackDevice();
    // Players started while the extra device is open also play on it. Open
    // throws SipError when the stack is not running; close never throws.
    void openExtraPlaybackDevice();
    void closeExtraPlaybackDevice();
    // Whether the extra device is open now (players started now play on it).
    bool isExtraPlaybackDeviceOpen();
    // The extra playback sink while an extra device is set.
    std::optional<SipAudioSink> getExtraPlaybackDevice();
    // The sink of the playback device in use. Throws SipError when the stack
    // is not running.
    SipAudioSink getDevMedia();

    // The media lock; see the lock order above.
    std::unique_lock<std::recursive_mutex> lock();

    // Prefix match on `id` in list order; an empty name matches the first entry.
    bool findDeviceByName(const char* name, const std::vector<SipAudioDevice>& list, SipAudioDevice& out);
    bool findDeviceByIndex(int index, const std::vector<SipAudioDevice>& list, std::string& out);

    // Set by the call service while calls exist: the refresh pauses then.
    void setCallActive(bool active) { callActive_.exchange(active); }

    // Core thread only. The linphone device that `sink` stands for now, or
    // null when there is none (no extra device set or open).
    std::shared_ptr<linphone::AudioDevice> resolveSink(const std::shared_ptr<linphone::Core>& core,
                                                       const SipAudioSink& sink);
    // Core thread only. While registered, `holder` is kept alive by the
    // manager and is told when this Core shuts down, so that its linphone
    // objects always go on the core thread, even when its owner lets go of
    // it while the stack stops. Registering twice keeps one entry.
    void registerMediaHolder(const std::shared_ptr<linphone::Core>& core,
                             const std::shared_ptr<ISipMediaHolder>& holder);
    // Core thread only; no effect when `holder` is not registered.
    void unregisterMediaHolder(const ISipMediaHolder* holder);

private:
    class CoreHook;
    struct Enumeration;

    SipAudioDeviceManager();
    ~SipAudioDeviceManager() override;

    void onRefreshTimer();
    // refreshDevices; false when it failed. `report`: reports the list even
    // when it did not change.
    bool refresh(bool notify, bool report);
    Enumeration enumerateDevices(bool refresh);
    Enumeration enumerateOnCore(const std::shared_ptr<linphone::Core>& core, bool refresh);
    // Logs the whole or the filtered list when its text changed since last time.
    void logDeviceText(bool wholeList, const std::string& text);
    // The stored capture (or playback) device `name` selects;
    // std::runtime_error when none of that direction matches.
    SipAudioDevice findListedDevice(const char* name, bool capture);
    std::string selectDevice(const char* name, bool capture);
    // Core thread: applies the selection to linphone and its calls; returns
    // the id of the device now in use.
    std::string applySelection(const std::shared_ptr<linphone::Core>& core, bool capture);
    void attachCore(const std::shared_ptr<linphone::Core>& core);
    void onCoreShutdown();
    void requireStarted(const char* operation);

    // Guards every member below up to the media mutex; level 3.
    std::recursive_mutex stateMutex_;
    ISipAudioDeviceManagerCallback* listener_ = nullptr;
    bool timerStarted_ = false;
    SipAudioDeviceList devices_;
    std::string selectedCaptureId_;   // the id asked for; kDefaultCaptureId at first
    std::string selectedPlaybackId_;  // likewise with kDefaultPlaybackId
    std::string extraDeviceId_;       // empty: no extra playback device
    bool extraOpened_ = false;
    std::string lastFilteredText_;
    std::string lastAllText_;
    const linphone::Core* attachedCore_ = nullptr;  // identity only, never dereferenced
    // The sound server's device generation the last tick's re-read saw;
    // empty when that re-read failed, or none happened since the timer
    // started or the Core changed.
    std::optional<std::uint64_t> refreshedGeneration_;
    int quietTicks_ = 0;  // ticks without a re-read since the last one
    // The sound server connection (SipPulseServer::Session::generation) that
    // the last re-read saw up; 0 before any.
    std::uint64_t refreshedServer_ = 0;
    std::vector<std::shared_ptr<ISipMediaHolder>> mediaHolders_;

    std::recursive_mutex mediaMutex_;  // the media lock; see the lock order above
    std::atomic<bool> callActive_{false};
    std::shared_ptr<CoreHook> coreHook_;
    Timer refreshTimer_;
};

}  // namespace Tarvent::VirtualChannel
