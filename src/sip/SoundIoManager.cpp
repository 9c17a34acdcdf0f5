#include "sip/SoundIoManager.h"

#include <soundio/soundio.h>

namespace Tarvent::VirtualChannel {

SoundIoManager& SoundIoManager::getInstance()
{
    static SoundIoManager instance;
    return instance;
}

SoundIoManager::~SoundIoManager()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    for (SoundIoDevice* device : devices_) {
        soundio_device_unref(device);
    }
    for (SoundIoDevice* device : {defaultInput_, defaultOutput_}) {
        if (device != nullptr) {
            soundio_device_unref(device);
        }
    }
}

}  // namespace Tarvent::VirtualChannel
