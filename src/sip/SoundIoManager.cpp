#include "sip/SoundIoManager.h"

#include <soundio/soundio.h>

#include "logging/Logger.h"
#include "platform/FileSystem.h"
#include "platform/StandardDescriptors.h"

namespace Tarvent::VirtualChannel {

namespace {

constexpr const char* kAlsaDeviceFolder = "/dev/snd";

// "id|name|raw;" per device of one direction, then the default's position.
std::string devicesText(SoundIo* soundIo, bool input)
{
    const int count = input ? soundio_input_device_count(soundIo) : soundio_output_device_count(soundIo);
    std::string text;
    for (int i = 0; i < count; ++i) {
        SoundIoDevice* const device =
            input ? soundio_get_input_device(soundIo, i) : soundio_get_output_device(soundIo, i);
        if (device == nullptr) {
            continue;
        }
        text += std::string(device->id != nullptr ? device->id : "") + "|" +
                (device->name != nullptr ? device->name : "") + (device->is_raw ? "|raw;" : "|;");
        soundio_device_unref(device);
    }
    const int defaultIndex =
        input ? soundio_default_input_device_index(soundIo) : soundio_default_output_device_index(soundIo);
    return text + "default " + std::to_string(defaultIndex) + "\n";
}

}  // namespace

void SoundIoManager::SoundIoDeleter::operator()(SoundIo* soundIo) const
{
    soundio_destroy(soundIo);
}

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
    soundIo_.reset();
}

std::optional<std::uint64_t> SoundIoManager::deviceGeneration()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!soundIo_ && !watchFailed_) {
        startWatching();
    }
    if (soundIo_) {
        // Cheap unless the server announced a change: then the devices are listed again.
        soundio_flush_events(soundIo_.get());
        if (watchFailed_) {
            soundIo_.reset();
        }
    }
    if (!soundIo_) {
        return std::nullopt;
    }
    return generation_;
}

void SoundIoManager::watchAgain()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (watchFailed_) {
        watchFailed_ = false;
        soundIo_.reset();
        deviceText_.clear();
    }
}

void SoundIoManager::startWatching()
{
    std::unique_ptr<SoundIo, SoundIoDeleter> soundIo(soundio_create());
    if (!soundIo) {
        watchFailed_ = true;
        return;
    }
    soundIo->app_name = "ovra device watch";
    soundIo->userdata = this;
    soundIo->on_devices_change = &SoundIoManager::onDevicesChange;
    soundIo->on_backend_disconnect = &SoundIoManager::onBackendDisconnect;
    int error = soundio_connect_backend(soundIo.get(), SoundIoBackendPulseAudio);
    // libsoundio's ALSA backend, failing to start, closes descriptors it
    // never opened: 0 twice. Without /dev/snd it always fails.
    if (error != SoundIoErrorNone) {
        error = directoryExists(kAlsaDeviceFolder) ? soundio_connect_backend(soundIo.get(), SoundIoBackendAlsa)
                                                  : SoundIoErrorInitAudioBackend;
    }
    // Whatever it closed of 0-2 is filled again, before a later file or
    // socket of the engine could be given the number.
    keepStandardDescriptorsOpen();
    if (error != SoundIoErrorNone) {
        watchFailed_ = true;
        logDebug("Sound device changes can't be watched: reason=\"%s\"", soundio_strerror(error));
        return;
    }
    logDebug("Watching sound device changes: backend=%s", soundio_backend_name(soundIo->current_backend));
    soundIo_ = std::move(soundIo);
}

void SoundIoManager::noteDevices(SoundIo* soundIo)
{
    std::string text = devicesText(soundIo, true) + devicesText(soundIo, false);
    if (text != deviceText_) {
        deviceText_ = std::move(text);
        ++generation_;
    }
}

void SoundIoManager::onDevicesChange(SoundIo* soundIo)
{
    // Called for every rescan, also when only a device's state changed.
    static_cast<SoundIoManager*>(soundIo->userdata)->noteDevices(soundIo);
}

void SoundIoManager::onBackendDisconnect(SoundIo* soundIo, int error)
{
    auto* const self = static_cast<SoundIoManager*>(soundIo->userdata);
    self->watchFailed_ = true;
    logDebug("Sound device changes are no longer watched: reason=\"%s\"", soundio_strerror(error));
}

}  // namespace Tarvent::VirtualChannel
