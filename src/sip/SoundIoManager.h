#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "util/VersionedBase.h"

struct SoundIo;
struct SoundIoDevice;

namespace Tarvent::VirtualChannel {

// Holds the protocol version for the libsoundio side of the device handling
// and releases the libsoundio device handles it is given (nothing opens a
// device through it). It also watches the sound server for device changes
// through libsoundio (its PulseAudio backend, or its ALSA backend when no
// PulseAudio server runs), so that the device manager re-reads the devices
// only when something changed. Process-wide; any thread.
class SoundIoManager : public VersionedBase {
public:
    static SoundIoManager& getInstance();

    SoundIoManager(const SoundIoManager&) = delete;
    SoundIoManager& operator=(const SoundIoManager&) = delete;

    // A number that grows whenever the sound server's devices change (one
    // added, removed or renamed, or another default); the same number twice
    // means no such change in between. The first call starts watching (which
    // takes a round trip to the sound server). Empty when no sound server can
    // be watched or the connection to it was lost: then nothing is known.
    std::optional<std::uint64_t> deviceGeneration();
    // Watching stops for good when the connection to the sound server is
    // lost; once a server is known to be there again, this lets the next
    // deviceGeneration() start over.
    void watchAgain();

private:
    struct SoundIoDeleter {
        void operator()(SoundIo* soundIo) const;
    };

    SoundIoManager() = default;
    ~SoundIoManager() override;

    // Both with mutex_ held.
    void startWatching();
    void noteDevices(SoundIo* soundIo);
    // libsoundio's callbacks: raised inside soundio_flush_events (mutex_ held).
    static void onDevicesChange(SoundIo* soundIo);
    static void onBackendDisconnect(SoundIo* soundIo, int error);

    // Guards everything below. Only libsoundio (whose callbacks come back
    // here without locking) and the Logger are called under it.
    std::mutex mutex_;
    std::vector<SoundIoDevice*> devices_;
    SoundIoDevice* defaultInput_ = nullptr;
    SoundIoDevice* defaultOutput_ = nullptr;
    std::unique_ptr<SoundIo, SoundIoDeleter> soundIo_;  // while watching
    bool watchFailed_ = false;  // for good: no sound server, or the connection was lost
    std::string deviceText_;    // the devices as last seen, to tell a real change from a rescan
    std::uint64_t generation_ = 0;
};

}  // namespace Tarvent::VirtualChannel
