#include "sip/SipPulseSoundCards.h"

#include <cstring>
#include <exception>
#include <string>

#include <linphone++/linphone.hh>
#include <linphone/core.h>
#include <mediastreamer2/msfactory.h>
#include <mediastreamer2/mssndcard.h>

#include "logging/Logger.h"
#include "sip/SipPulseServer.h"
#include "sip/SipPulseStream.h"

namespace Tarvent::VirtualChannel {

namespace {

// The same driver name as the library's own cards: device ids stay as they were.
const char* const kDriver = "PulseAudio";
// How long a listing of the devices may hold up the core thread.
constexpr std::chrono::milliseconds kListingTimeout{2000};

void detect(MSSndCardManager* manager);
MSFilter* createReader(MSSndCard* card);
MSFilter* createWriter(MSSndCard* card);

MSSndCardDesc cardDesc = {
    kDriver,       // driver_type
    &detect,       // detect
    nullptr,       // init
    nullptr,       // set_level
    nullptr,       // get_level
    nullptr,       // set_capture
    nullptr,       // set_control
    nullptr,       // get_control
    &createReader, // create_reader
    &createWriter, // create_writer
    nullptr,       // uninit
    nullptr,       // duplicate
    nullptr,       // unload
    nullptr,       // usage_hint
    nullptr,       // audio_session_activated
    nullptr,       // callkit_enabled
    nullptr,       // audio_route_changed
    nullptr,       // configure
    nullptr,       // reload_requested
};

void addCard(MSSndCardManager* manager, const std::string& description, unsigned capabilities)
{
    MSSndCard* const card = ms_snd_card_new(&cardDesc);
    if (card == nullptr) {
        return;
    }
    card->name = ms_strdup(description.c_str());
    card->capabilities = capabilities;
    ms_snd_card_manager_add_card(manager, card);
}

void detect(MSSndCardManager* manager)
{
    try {
        const auto devices = SipPulseServer::getInstance().listDevices(kListingTimeout);
        if (!devices) {
            logDebug("No sound server to list devices from");
            return;
        }
        // A sink and a source of one description are one device that plays and records.
        std::vector<bool> merged(devices->sources.size(), false);
        for (const auto& sink : devices->sinks) {
            unsigned capabilities = MS_SND_CARD_CAP_PLAYBACK;
            for (std::size_t i = 0; i < devices->sources.size(); ++i) {
                if (!merged[i] && devices->sources[i].description == sink.description) {
                    merged[i] = true;
                    capabilities |= MS_SND_CARD_CAP_CAPTURE;
                    break;
                }
            }
            addCard(manager, sink.description, capabilities);
        }
        for (std::size_t i = 0; i < devices->sources.size(); ++i) {
            if (!merged[i]) {
                addCard(manager, devices->sources[i].description, MS_SND_CARD_CAP_CAPTURE);
            }
        }
    } catch (const std::exception& error) {
        logError("Failed to list the sound server's devices: what=\"%s\"", error.what());
    }
}

MSFilter* createFilter(MSSndCard* card, MSFilterDesc* desc)
{
    MSFilter* const filter = ms_factory_create_filter_from_desc(ms_snd_card_get_factory(card), desc);
    if (filter == nullptr || filter->data == nullptr) {
        // A filter without its stream could not be driven: none rather than a broken one.
        if (filter != nullptr) {
            ms_filter_destroy(filter);
        }
        return nullptr;
    }
    try {
        static_cast<SipPulseStream*>(filter->data)->setDevice(card->name != nullptr ? card->name : "");
    } catch (const std::exception& error) {
        logError("Failed to make a sound stream: what=\"%s\"", error.what());
        ms_filter_destroy(filter);
        return nullptr;
    }
    return filter;
}

MSFilter* createReader(MSSndCard* card)
{
    return createFilter(card, SipPulseStream::captureDesc());
}

MSFilter* createWriter(MSSndCard* card)
{
    return createFilter(card, SipPulseStream::playbackDesc());
}

}  // namespace

SipPulseSoundCards::CreationGuard::CreationGuard()
{
    ms_snd_card_manager_bypass_soundcard_detection(TRUE);
}

SipPulseSoundCards::CreationGuard::~CreationGuard()
{
    end();
}

void SipPulseSoundCards::CreationGuard::end()
{
    if (held_) {
        held_ = false;
        ms_snd_card_manager_bypass_soundcard_detection(FALSE);
    }
}

void SipPulseSoundCards::install(const std::shared_ptr<linphone::Core>& core, CreationGuard& guard)
{
    MSFactory* const factory = linphone_core_get_ms_factory(core->cPtr());
    MSSndCardManager* const manager = factory != nullptr ? ms_factory_get_snd_card_manager(factory) : nullptr;
    if (manager != nullptr) {
        // The library's own PulseAudio cards go before they ever connected;
        // these take their place in the order, ahead of the ALSA cards, so
        // that the first of them is the default device as before.
        bool replaced = false;
        for (bctbx_list_t* entry = manager->descs; entry != nullptr; entry = entry->next) {
            auto* const desc = static_cast<MSSndCardDesc*>(entry->data);
            if (desc != &cardDesc && desc->driver_type != nullptr && std::strcmp(desc->driver_type, kDriver) == 0) {
                entry->data = replaced ? nullptr : &cardDesc;
                replaced = true;
            }
        }
        manager->descs = bctbx_list_remove(manager->descs, nullptr);
        if (!replaced) {
            manager->descs = bctbx_list_prepend(manager->descs, &cardDesc);
        }
    }
    guard.end();
    core->reloadSoundDevices();
}

}  // namespace Tarvent::VirtualChannel
