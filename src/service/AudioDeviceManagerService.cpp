#include "service/AudioDeviceManagerService.h"

#include <algorithm>
#include <stdexcept>

#include "logging/Logger.h"
#include "service/SipStackFacade.h"
#include "sip/SipAudioDeviceManager.h"
#include "sip/SoundIoManager.h"
#include "util/MakeString.h"

namespace Tarvent::VirtualChannel {

AudioDeviceManagerService::AudioDeviceManagerService(IAudioDeviceManagerServiceCallback* listener,
                                                     SipStackFacade* facade)
    : listener_(listener), facade_(facade)
{
}

AudioDeviceManagerService::~AudioDeviceManagerService() = default;

int AudioDeviceManagerService::create()
{
    SipStackFacade::requireStarted();
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!created_) {
        SipAudioDeviceManager& manager = SipAudioDeviceManager::getInstance();
        manager.initialize(this);
        snapshot_ = buildDeviceList(manager.getDevices());
        created_ = true;
    }
    return kObjectId;
}

AudioDeviceSnapshot AudioDeviceManagerService::getSnapshot()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return snapshot_;
}

void AudioDeviceManagerService::startDeviceRefresh()
{
    SipAudioDeviceManager::getInstance().startRefreshTimer();
}

void AudioDeviceManagerService::stopDeviceRefresh()
{
    SipAudioDeviceManager::getInstance().stopRefreshTimer();
}

void AudioDeviceManagerService::reset()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    created_ = false;
}

void AudioDeviceManagerService::setDefaultDevices(int newDefaultInputObjectId, int newDefaultOutputObjectId)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::string outputName = nameForId(newDefaultOutputObjectId);
    const std::string inputName = nameForId(newDefaultInputObjectId);
    SipStackFacade::requireStarted();
    SipAudioDeviceManager& manager = SipAudioDeviceManager::getInstance();
    manager.setPlaybackDevice(outputName.c_str());
    manager.setCaptureDevice(inputName.c_str());
}

void AudioDeviceManagerService::setExtraPlaybackDevice(int objectId)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    SipAudioDeviceManager& manager = SipAudioDeviceManager::getInstance();
    if (objectId == -1) {
        manager.clearExtraPlaybackDevice();
        return;
    }
    const std::string name = nameForId(objectId);
    SipStackFacade::requireStarted();
    manager.setExtraPlaybackDevice(name.c_str());
}

void AudioDeviceManagerService::setVersion(int version)
{
    VersionedBase::setVersion(version);
    SipAudioDeviceManager::getInstance().setVersion(version);
    SoundIoManager::getInstance().setVersion(version);
}

void AudioDeviceManagerService::onAudioDevicesChanged(const SipAudioDeviceList& devices)
{
    AudioDeviceSnapshot copy;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        snapshot_ = buildDeviceList(devices);
        copy = snapshot_;
    }
    listener_->onAudioDevicesChanged(kObjectId, copy);
}

void AudioDeviceManagerService::onSoundIoDevicesChanged()
{
    logDebug("Sound devices changed");
}

std::int32_t AudioDeviceManagerService::idForName(const std::string& name)
{
    if (name.empty()) {
        return -1;
    }
    const auto it = idsByName_.find(name);
    if (it != idsByName_.end()) {
        return it->second;
    }
    const std::int32_t objectId = nextObjectId_++;
    idsByName_.emplace(name, objectId);
    namesById_.emplace(objectId, name);
    return objectId;
}

const std::string& AudioDeviceManagerService::nameForId(std::int32_t objectId) const
{
    const auto it = namesById_.find(objectId);
    if (it == namesById_.end()) {
        throw std::runtime_error(makeString("Could not find name for audio device ID ", objectId));
    }
    return it->second;
}

AudioDeviceSnapshot AudioDeviceManagerService::buildDeviceList(const SipAudioDeviceList& devices)
{
    AudioDeviceSnapshot snapshot;
    snapshot.defaultInputObjectId = idForName(devices.defaultInputId);
    snapshot.defaultOutputObjectId = idForName(devices.defaultOutputId);
    snapshot.systemDefaultInputObjectId = idForName(devices.systemDefaultInputId);
    snapshot.systemDefaultOutputObjectId = idForName(devices.systemDefaultOutputId);
    snapshot.records.reserve(devices.devices.size());
    for (const SipAudioDevice& device : devices.devices) {
        AudioDeviceRecord record;
        record.name = device.id;
        record.isInputDevice = device.isInput;
        record.isOutputDevice = device.isOutput;
        record.isCallDevice = true;
        record.objectId = idForName(device.id);
        snapshot.records.push_back(record);
    }
    std::sort(snapshot.records.begin(), snapshot.records.end(),
              [](const AudioDeviceRecord& a, const AudioDeviceRecord& b) { return a.objectId < b.objectId; });
    return snapshot;
}

}  // namespace Tarvent::VirtualChannel
