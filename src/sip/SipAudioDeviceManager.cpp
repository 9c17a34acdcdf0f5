#include "sip/SipAudioDeviceManager.h"

#include <algorithm>
#include <iterator>
#include <list>
#include <stdexcept>
#include <utility>

#include <linphone++/linphone.hh>
#include <linphone/core.h>
#include <mediastreamer2/msfactory.h>
#include <mediastreamer2/mssndcard.h>

#include "logging/Logger.h"
#include "sip/SipError.h"
#include "sip/SipPulseServer.h"
#include "sip/SipStack.h"
#include "sip/SoundIoManager.h"

namespace Tarvent::VirtualChannel {

namespace {

const char* const kPulseAudioDriver = "PulseAudio";
const char* const kAlsaDriver = "ALSA";

using Capability = linphone::AudioDevice::Capabilities;

// One device of the stack's enumeration, as read during a refresh.
struct SipAudioDeviceEntry {
    std::string name;
    bool isInput = false;
    bool isOutput = false;
    int index = 0;
};

using DeviceList = std::list<std::shared_ptr<linphone::AudioDevice>>;

// The sound server's devices when a PulseAudio server runs (the library
// lists them only then), the ALSA devices otherwise.
std::string keptDriver(const DeviceList& devices)
{
    const bool pulse = std::any_of(devices.begin(), devices.end(),
                                   [](const auto& device) { return device->getDriverName() == kPulseAudioDriver; });
    return pulse ? kPulseAudioDriver : kAlsaDriver;
}

std::shared_ptr<linphone::AudioDevice> findByName(const DeviceList& devices, const std::string& name,
                                                  Capability capability)
{
    const std::string driver = keptDriver(devices);
    for (const auto& device : devices) {
        if (device->getDriverName() == driver && device->getDeviceName() == name &&
            device->hasCapability(capability)) {
            return device;
        }
    }
    return nullptr;
}

// What the media layer itself would pick: its default card for the
// direction, or else the first device of the sound server that can do it.
std::shared_ptr<linphone::AudioDevice> systemDefault(const std::shared_ptr<linphone::Core>& core,
                                                     const DeviceList& devices, bool capture)
{
    const Capability capability = capture ? Capability::CapabilityRecord : Capability::CapabilityPlay;
    MSSndCardManager* const cards = ms_factory_get_snd_card_manager(linphone_core_get_ms_factory(core->cPtr()));
    MSSndCard* const card = cards == nullptr ? nullptr
                            : capture        ? ms_snd_card_manager_get_default_capture_card(cards)
                                             : ms_snd_card_manager_get_default_playback_card(cards);
    const char* const cardId = card == nullptr ? nullptr : ms_snd_card_get_string_id(card);
    if (cardId != nullptr) {
        for (const auto& device : devices) {
            if (device->getId() == cardId && device->hasCapability(capability)) {
                return device;
            }
        }
    }
    const std::string driver = keptDriver(devices);
    for (const auto& device : devices) {
        if (device->getDriverName() == driver && device->hasCapability(capability)) {
            return device;
        }
    }
    return nullptr;
}

// "(name,isInput,isOutput,index) " per entry.
std::string deviceText(const std::vector<SipAudioDeviceEntry>& entries)
{
    std::string text;
    for (const SipAudioDeviceEntry& entry : entries) {
        text += "(" + entry.name + "," + (entry.isInput ? "1" : "0") + "," + (entry.isOutput ? "1" : "0") + "," +
                std::to_string(entry.index) + ") ";
    }
    return text;
}

// A name that stands more than once can't be selected by name: drop all of its copies.
std::vector<SipAudioDeviceEntry> dropAmbiguousDevices(std::vector<SipAudioDeviceEntry> entries)
{
    std::sort(entries.begin(), entries.end(),
              [](const SipAudioDeviceEntry& a, const SipAudioDeviceEntry& b) { return a.name < b.name; });
    std::vector<SipAudioDeviceEntry> kept;
    for (std::size_t i = 0; i < entries.size();) {
        std::size_t end = i + 1;
        while (end < entries.size() && entries[end].name == entries[i].name) {
            ++end;
        }
        if (end - i == 1) {
            kept.push_back(entries[i]);
        }
        i = end;
    }
    return kept;
}

std::vector<SipAudioDevice> appendDefaultDevices()
{
    return {
        {SipAudioDeviceManager::kDefaultCaptureId, "Default Capture Device", true, false,
         SipAudioDeviceManager::kDefaultCaptureIndex},
        {SipAudioDeviceManager::kDefaultPlaybackId, "Default Playback Device", false, true,
         SipAudioDeviceManager::kDefaultPlaybackIndex},
    };
}

bool sameDevice(const SipAudioDevice& a, const SipAudioDevice& b)
{
    return a.id == b.id && a.name == b.name && a.isInput == b.isInput && a.isOutput == b.isOutput &&
           a.index == b.index;
}

bool listed(const std::vector<SipAudioDevice>& devices, const std::string& id)
{
    return std::any_of(devices.begin(), devices.end(), [&](const SipAudioDevice& device) { return device.id == id; });
}

}  // namespace

// Tells the manager when a Core it works with shuts down (on the core
// thread, from Core::stop). The Core holds it; the manager detaches it when
// it goes away first (process exit).
class SipAudioDeviceManager::CoreHook : public linphone::CoreListener {
public:
    explicit CoreHook(SipAudioDeviceManager* manager) : manager_(manager) {}

    void detach()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        manager_ = nullptr;
    }

    void onGlobalStateChanged(const std::shared_ptr<linphone::Core>& /*core*/, linphone::GlobalState state,
                              const std::string& /*message*/) override
    {
        if (state != linphone::GlobalState::Shutdown) {
            return;
        }
        const std::lock_guard<std::mutex> lock(mutex_);
        if (manager_ != nullptr) {
            manager_->onCoreShutdown();
        }
    }

private:
    // Guards manager_; level 3, held while the manager handles the shutdown
    // (which takes the manager's state mutex and the holders' own locks).
    std::mutex mutex_;
    SipAudioDeviceManager* manager_;
};

struct SipAudioDeviceManager::Enumeration {
    std::vector<SipAudioDeviceEntry> all;   // every device that can play or record
    std::vector<SipAudioDeviceEntry> kept;  // the sound server's devices
    std::string inputId;                    // the device ids in use after the refresh
    std::string outputId;
};

SipAudioDeviceManager& SipAudioDeviceManager::getInstance()
{
    static SipAudioDeviceManager instance;
    return instance;
}

SipAudioDeviceManager::SipAudioDeviceManager()
    : selectedCaptureId_(kDefaultCaptureId),
      selectedPlaybackId_(kDefaultPlaybackId),
      coreHook_(std::make_shared<CoreHook>(this)),
      refreshTimer_([this](Timer*) { onRefreshTimer(); })
{
    // Made first, so that it outlives this manager at process exit (a last tick may ask it).
    SoundIoManager::getInstance();
    devices_.systemDefaultInputId = kDefaultCaptureId;
    devices_.systemDefaultOutputId = kDefaultPlaybackId;
}

SipAudioDeviceManager::~SipAudioDeviceManager()
{
    stopRefreshTimer();
    refreshTimer_.stop();
    coreHook_->detach();
}

void SipAudioDeviceManager::initialize(ISipAudioDeviceManagerCallback* listener)
{
    {
        const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
        listener_ = listener;
    }
    if (isAtLeast(2)) {
        refreshDevices(false);
    }
}

void SipAudioDeviceManager::startRefreshTimer()
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    if (timerStarted_) {
        return;
    }
    timerStarted_ = true;
    callActive_.exchange(false);
    // Protocol 1 clients get the whole list as the first report.
    refreshTimer_.start(kRefreshPeriod, !isAtLeast(2));
}

void SipAudioDeviceManager::stopRefreshTimer()
{
    {
        const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
        if (!timerStarted_) {
            return;
        }
        timerStarted_ = false;
    }
    // A running refresh may be waiting for the state lock: not held here.
    refreshTimer_.stop();
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    // The next refresh then always reports, and the next tick always re-reads.
    devices_.devices.clear();
    refreshedGeneration_.reset();
}

void SipAudioDeviceManager::onRefreshTimer()
{
    // A stack that is not running has no devices to read; its start will.
    if (!SipStack::getInstance().isStarted()) {
        return;
    }
    // A sound server that came back (a new connection since the last
    // re-read) is re-read and reported even during a call: the client learns
    // of the new server's devices, which the calls already play on. While
    // it is away, calls keep their devices and nothing is re-read under them.
    const SipPulseServer::Session server = SipPulseServer::getInstance().session();
    bool serverBack = false;
    {
        const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
        serverBack = server.connected && refreshedServer_ != 0 && server.generation != refreshedServer_;
    }
    if (callActive_.load() && !serverBack) {
        return;
    }
    if (serverBack) {
        SoundIoManager::getInstance().watchAgain();
    }
    // Re-reading the devices costs the media layer milliseconds (it opens
    // every sound card again); a tick that the sound server reported no
    // change for would only find the same list.
    const std::optional<std::uint64_t> generation = SoundIoManager::getInstance().deviceGeneration();
    {
        const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
        if (!serverBack && generation && generation == refreshedGeneration_ && ++quietTicks_ < kQuietTicksPerRescan) {
            return;
        }
        quietTicks_ = 0;
    }
    const bool refreshed = refresh(true, serverBack);
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    refreshedGeneration_ = refreshed ? generation : std::nullopt;
}

SipAudioDeviceList SipAudioDeviceManager::getDevices()
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    return devices_;
}

std::unique_lock<std::recursive_mutex> SipAudioDeviceManager::lock()
{
    return std::unique_lock<std::recursive_mutex>(mediaMutex_);
}

void SipAudioDeviceManager::logDeviceText(bool wholeList, const std::string& text)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    std::string& lastLogged = wholeList ? lastAllText_ : lastFilteredText_;
    if (text == lastLogged) {
        return;
    }
    lastLogged = text;
    if (wholeList) {
        logDebug("All PJSIP Devices changed: %s", text.c_str());
    } else {
        logDebug("PJSIP Devices changed: %s", text.c_str());
    }
}

SipAudioDeviceManager::Enumeration SipAudioDeviceManager::enumerateDevices(bool refresh)
{
    Enumeration enumeration;
    {
        // The device layer is re-read under the media lock: no media
        // connection is made while it changes.
        const std::unique_lock<std::recursive_mutex> mediaLock = lock();
        enumeration = SipStack::getInstance().runOnCore(
            [&](const std::shared_ptr<linphone::Core>& core) { return enumerateOnCore(core, refresh); });
    }
    logDeviceText(true, deviceText(enumeration.all));
    return enumeration;
}

SipAudioDeviceManager::Enumeration SipAudioDeviceManager::enumerateOnCore(const std::shared_ptr<linphone::Core>& core,
                                                                         bool refresh)
{
    attachCore(core);
    if (refresh) {
        core->reloadSoundDevices();
    }
    const DeviceList devices = core->getExtendedAudioDevices();
    const std::string driver = keptDriver(devices);
    Enumeration enumeration;
    int index = 0;
    for (const auto& device : devices) {
        SipAudioDeviceEntry entry;
        entry.name = device->getDeviceName();
        entry.isInput = device->hasCapability(Capability::CapabilityRecord);
        entry.isOutput = device->hasCapability(Capability::CapabilityPlay);
        entry.index = index++;
        if (!entry.isInput && !entry.isOutput) {
            continue;
        }
        enumeration.all.push_back(entry);
        if (device->getDriverName() == driver) {
            enumeration.kept.push_back(entry);
        }
    }
    // A reload may have moved or dropped the selected devices.
    enumeration.inputId = applySelection(core, true);
    enumeration.outputId = applySelection(core, false);
    return enumeration;
}

std::string SipAudioDeviceManager::applySelection(const std::shared_ptr<linphone::Core>& core, bool capture)
{
    const char* const defaultId = capture ? kDefaultCaptureId : kDefaultPlaybackId;
    std::string selected;
    {
        const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
        selected = capture ? selectedCaptureId_ : selectedPlaybackId_;
    }
    const DeviceList devices = core->getExtendedAudioDevices();
    std::string inUse = defaultId;
    std::shared_ptr<linphone::AudioDevice> device;
    if (selected != defaultId) {
        device = findByName(devices, selected,
                            capture ? Capability::CapabilityRecord : Capability::CapabilityPlay);
        if (device) {
            inUse = selected;
        }
    }
    if (!device) {
        // Also while a selected device is away: the system default stands in.
        device = systemDefault(core, devices, capture);
    }
    if (!device) {
        return inUse;
    }

    const std::shared_ptr<const linphone::AudioDevice> current =
        capture ? core->getDefaultInputAudioDevice() : core->getDefaultOutputAudioDevice();
    if (!current || current->getId() != device->getId()) {
        if (capture) {
            core->setDefaultInputAudioDevice(device);
        } else {
            core->setDefaultOutputAudioDevice(device);
        }
    }
    // Running calls take a new device only when their media is renegotiated.
    for (const std::shared_ptr<linphone::Call>& call : core->getCalls()) {
        const std::shared_ptr<const linphone::AudioDevice> callDevice =
            capture ? call->getInputAudioDevice() : call->getOutputAudioDevice();
        if (callDevice && callDevice->getId() == device->getId()) {
            continue;
        }
        if (capture) {
            call->setInputAudioDevice(device);
        } else {
            call->setOutputAudioDevice(device);
        }
        if (call->getState() == linphone::Call::State::StreamsRunning) {
            const std::shared_ptr<linphone::CallParams> params = core->createCallParams(call);
            if (!params || call->update(params) != 0) {
                logWarning("Failed to renegotiate call media after an audio device change: device=\"%s\"",
                           device->getDeviceName().c_str());
            }
        }
    }
    return inUse;
}

void SipAudioDeviceManager::refreshDevices(bool notify)
{
    refresh(notify, false);
}

bool SipAudioDeviceManager::refresh(bool notify, bool report)
{
    SipStack::getInstance().ensureThreadRegistered();
    try {
        Enumeration enumeration = enumerateDevices(true);
        const std::vector<SipAudioDeviceEntry> entries = dropAmbiguousDevices(std::move(enumeration.kept));
        logDeviceText(false, deviceText(entries));

        std::vector<SipAudioDevice> fresh = appendDefaultDevices();
        for (const SipAudioDeviceEntry& entry : entries) {
            if (entry.name.empty() || (!entry.isInput && !entry.isOutput)) {
                continue;
            }
            fresh.push_back({entry.name, entry.name, entry.isInput, entry.isOutput, entry.index});
        }
        const std::string newInputId = listed(fresh, enumeration.inputId) ? enumeration.inputId : "";
        const std::string newOutputId = listed(fresh, enumeration.outputId) ? enumeration.outputId : "";

        bool changed = false;
        SipAudioDeviceList copy;
        ISipAudioDeviceManagerCallback* listener = nullptr;
        {
            const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
            std::sort(fresh.begin(), fresh.end(),
                      [](const SipAudioDevice& a, const SipAudioDevice& b) { return a.id < b.id; });
            // A device keeps a capability once seen while it stays listed.
            for (SipAudioDevice& device : fresh) {
                for (const SipAudioDevice& stored : devices_.devices) {
                    if (stored.id == device.id) {
                        device.isInput = device.isInput || stored.isInput;
                        device.isOutput = device.isOutput || stored.isOutput;
                    }
                }
            }
            changed = fresh.size() != devices_.devices.size() ||
                      !std::equal(fresh.begin(), fresh.end(), devices_.devices.begin(), sameDevice) ||
                      devices_.defaultOutputId != newOutputId || devices_.defaultInputId != newInputId;
            if (changed) {
                devices_.devices = std::move(fresh);
                devices_.defaultOutputId = newOutputId;
                devices_.defaultInputId = newInputId;
                copy = devices_;
            }
            listener = listener_;
        }
        const SipPulseServer::Session server = SipPulseServer::getInstance().session();
        {
            const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
            if (server.connected) {
                refreshedServer_ = server.generation;
            }
            if (report && !changed) {
                copy = devices_;
            }
        }
        if ((changed || report) && notify && listener != nullptr) {
            listener->onAudioDevicesChanged(copy);
        }
        return true;
    } catch (const std::exception& error) {
        logError("Exception when refreshing audio devices: %s", error.what());
    } catch (...) {
        logError("A serious error occured when refreshing audio devices.");
    }
    return false;
}

bool SipAudioDeviceManager::findDeviceByName(const char* name, const std::vector<SipAudioDevice>& list,
                                             SipAudioDevice& out)
{
    const std::string wanted = name != nullptr ? name : "";
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    logDebug("~~~ checking %s", wanted.c_str());
    for (const SipAudioDevice& device : list) {
        logDebug("~~~ comparing to %s", device.id.c_str());
        if (device.id.compare(0, wanted.size(), wanted) == 0) {
            out = device;
            logDebug("~~~ %s starts with %s.", device.id.c_str(), wanted.c_str());
            return true;
        }
    }
    return false;
}

bool SipAudioDeviceManager::findDeviceByIndex(int index, const std::vector<SipAudioDevice>& list, std::string& out)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    for (const SipAudioDevice& device : list) {
        if (device.index == index) {
            out = device.id;
            return true;
        }
    }
    return false;
}

SipAudioDevice SipAudioDeviceManager::findListedDevice(const char* name, bool capture)
{
    SipAudioDevice found;
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    // Only devices of the direction asked for: a speaker's name can't select
    // a microphone, nor stand as the prefix of one.
    std::vector<SipAudioDevice> candidates;
    std::copy_if(devices_.devices.begin(), devices_.devices.end(), std::back_inserter(candidates),
                 [capture](const SipAudioDevice& device) { return capture ? device.isInput : device.isOutput; });
    if (!findDeviceByName(name, candidates, found)) {
        throw std::runtime_error(std::string("Could not find audio device with name \"") +
                                 (name != nullptr ? name : "") + "\"");
    }
    return found;
}

std::string SipAudioDeviceManager::selectDevice(const char* name, bool capture)
{
    const SipAudioDevice found = findListedDevice(name, capture);
    SipStack::getInstance().ensureThreadRegistered();
    return SipStack::getInstance().runOnCore([&](const std::shared_ptr<linphone::Core>& core) {
        attachCore(core);
        {
            const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
            (capture ? selectedCaptureId_ : selectedPlaybackId_) = found.id;
        }
        return applySelection(core, capture);
    });
}

void SipAudioDeviceManager::setCaptureDevice(const char* name)
{
    const std::string inUse = selectDevice(name, true);
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    // Recorded, so that the next refresh does not report this change.
    devices_.defaultInputId = inUse;
}

void SipAudioDeviceManager::setPlaybackDevice(const char* name)
{
    const std::string inUse = selectDevice(name, false);
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    devices_.defaultOutputId = inUse;
}

void SipAudioDeviceManager::requireStarted(const char* operation)
{
    if (!SipStack::getInstance().isStarted()) {
        OVRA_THROW_SIP_ERROR(-1, operation, "SIP stack is not running");
    }
}

void SipAudioDeviceManager::setExtraPlaybackDevice(const char* name)
{
    const SipAudioDevice found = findListedDevice(name, false);
    requireStarted("SipAudioDeviceManager::setExtraPlaybackDevice");
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    // The new device starts closed, like a freshly made one.
    extraDeviceId_ = found.id;
    extraOpened_ = false;
}

void SipAudioDeviceManager::clearExtraPlaybackDevice()
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    extraDeviceId_.clear();
    extraOpened_ = false;
}

void SipAudioDeviceManager::openExtraPlaybackDevice()
{
    SipStack::getInstance().ensureThreadRegistered();
    bool wanted = false;
    {
        const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
        wanted = !extraDeviceId_.empty() && !extraOpened_;
    }
    if (!wanted) {
        return;
    }
    requireStarted("SipAudioDeviceManager::openExtraPlaybackDevice");
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    if (!extraDeviceId_.empty()) {
        extraOpened_ = true;
    }
}

void SipAudioDeviceManager::closeExtraPlaybackDevice()
{
    SipStack::getInstance().ensureThreadRegistered();
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    extraOpened_ = false;
}

bool SipAudioDeviceManager::isExtraPlaybackDeviceOpen()
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    return extraOpened_;
}

std::optional<SipAudioSink> SipAudioDeviceManager::getExtraPlaybackDevice()
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    if (extraDeviceId_.empty()) {
        return std::nullopt;
    }
    return SipAudioSink{SipAudioSink::Kind::ExtraDevice};
}

SipAudioSink SipAudioDeviceManager::getDevMedia()
{
    SipStack::getInstance().ensureThreadRegistered();
    requireStarted("SipAudioDeviceManager::getDevMedia");
    return SipAudioSink{SipAudioSink::Kind::SoundDevice};
}

std::shared_ptr<linphone::AudioDevice> SipAudioDeviceManager::resolveSink(const std::shared_ptr<linphone::Core>& core,
                                                                          const SipAudioSink& sink)
{
    attachCore(core);
    std::string id;
    {
        const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
        if (sink.kind == SipAudioSink::Kind::ExtraDevice) {
            if (extraDeviceId_.empty() || !extraOpened_) {
                return nullptr;
            }
            id = extraDeviceId_;
        } else {
            id = selectedPlaybackId_;
        }
    }
    const DeviceList devices = core->getExtendedAudioDevices();
    if (sink.kind == SipAudioSink::Kind::ExtraDevice) {
        return findByName(devices, id, Capability::CapabilityPlay);
    }
    std::shared_ptr<linphone::AudioDevice> device;
    if (id != kDefaultPlaybackId) {
        device = findByName(devices, id, Capability::CapabilityPlay);
    }
    return device ? device : systemDefault(core, devices, false);
}

void SipAudioDeviceManager::attachCore(const std::shared_ptr<linphone::Core>& core)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    if (attachedCore_ != core.get()) {
        attachedCore_ = core.get();
        core->addListener(coreHook_);
    }
}

void SipAudioDeviceManager::registerMediaHolder(const std::shared_ptr<linphone::Core>& core,
                                                const std::shared_ptr<ISipMediaHolder>& holder)
{
    attachCore(core);
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    if (std::find(mediaHolders_.begin(), mediaHolders_.end(), holder) == mediaHolders_.end()) {
        mediaHolders_.push_back(holder);
    }
}

void SipAudioDeviceManager::unregisterMediaHolder(const ISipMediaHolder* holder)
{
    std::shared_ptr<ISipMediaHolder> last;  // dropped after the lock is released
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    const auto found = std::find_if(mediaHolders_.begin(), mediaHolders_.end(),
                                    [&](const auto& entry) { return entry.get() == holder; });
    if (found != mediaHolders_.end()) {
        last = std::move(*found);
        mediaHolders_.erase(found);
    }
}

void SipAudioDeviceManager::onCoreShutdown()
{
    std::vector<std::shared_ptr<ISipMediaHolder>> holders;
    {
        const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
        holders.swap(mediaHolders_);
        attachedCore_ = nullptr;
        // A new Core starts on the system's default devices, with the extra
        // device closed (it opens again with the next player).
        selectedCaptureId_ = kDefaultCaptureId;
        selectedPlaybackId_ = kDefaultPlaybackId;
        extraOpened_ = false;
        // The next Core's devices and selection are read afresh at the next tick.
        refreshedGeneration_.reset();
    }
    for (const std::shared_ptr<ISipMediaHolder>& holder : holders) {
        holder->releaseMedia();
    }
}

}  // namespace Tarvent::VirtualChannel
