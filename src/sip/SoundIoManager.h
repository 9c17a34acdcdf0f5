#pragma once

#include <mutex>
#include <vector>

#include "util/VersionedBase.h"

struct SoundIoDevice;

namespace Tarvent::VirtualChannel {

// Holds the protocol version for the libsoundio side of the device handling
// and releases the libsoundio device handles it is given. Nothing opens a
// device through it. Process-wide; any thread.
class SoundIoManager : public VersionedBase {
public:
    static SoundIoManager& getInstance();

    SoundIoManager(const SoundIoManager&) = delete;
    SoundIoManager& operator=(const SoundIoManager&) = delete;

private:
    SoundIoManager() = default;
    ~SoundIoManager() override;

    std::mutex mutex_;  // guards the handles below; a leaf lock
    std::vector<SoundIoDevice*> devices_;
    SoundIoDevice* defaultInput_ = nullptr;
    SoundIoDevice* defaultOutput_ = nullptr;
};

}  // namespace Tarvent::VirtualChannel
