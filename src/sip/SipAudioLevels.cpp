#include "sip/SipAudioLevels.h"

#include <algorithm>
#include <cmath>

#include <linphone++/linphone.hh>
#include <linphone/core.h>
#include <mediastreamer2/mediastream.h>
#include <mediastreamer2/msvolume.h>

#include "sip/SipConference.h"

// Exported by the library (it hands a call's streams to its own tone and
// statistics code) but declared in none of its public headers.
extern "C" MediaStream* linphone_call_get_stream(LinphoneCall* call, LinphoneStreamType type);

namespace Tarvent::VirtualChannel {

namespace {

constexpr float kSilenceDb = -120.0f;
constexpr float kUnityDb = 0.0f;

AudioStream* audioStreamOf(linphone::Call& call)
{
    // The audio stream object starts with its media stream.
    return reinterpret_cast<AudioStream*>(linphone_call_get_stream(call.cPtr(), LinphoneStreamTypeAudio));
}

// A stage that is not in a running graph yet has no volume filter; the
// next media change puts the levels on again.
void setSpeakerDb(AudioStream* stream, float db)
{
    if (stream != nullptr && stream->volrecv != nullptr) {
        audio_stream_set_spk_gain_db(stream, db);
    }
}

bool microphoneSilent(AudioStream* stream)
{
    float gain = 0.0f;
    return ms_filter_call_method(stream->volsend, MS_VOLUME_GET_GAIN, &gain) == 0 && gain == 0.0f;
}

// A muted microphone only takes the level it unmutes with: the library
// restores the stream's last level then.
void setMicrophoneDb(AudioStream* stream, float db, bool muted)
{
    if (stream == nullptr || stream->volsend == nullptr) {
        return;
    }
    if (muted || microphoneSilent(stream)) {
        stream->last_mic_gain_level_db = db;
        return;
    }
    audio_stream_set_mic_gain_db(stream, db);
}

}  // namespace

float SipAudioLevels::libraryGainDb(float level)
{
    return level > 0.0f ? std::max(kSilenceDb, 10.0f * std::log10(level)) : kSilenceDb;
}

void SipAudioLevels::apply(const std::shared_ptr<linphone::Core>& core, const Levels& levels)
{
    if (!core) {
        return;
    }
    const float playbackDb = libraryGainDb(levels.playback);
    const float captureDb = libraryGainDb(levels.capture);
    const bool stackMuted = !core->micEnabled();
    for (const std::shared_ptr<linphone::Call>& call : core->getCalls()) {
        AudioStream* const stream = audioStreamOf(*call);
        if (stream == nullptr) {
            continue;
        }
        if (!call->getSpeakerMuted()) {
            setSpeakerDb(stream, SipConference::isLibraryMember(*call) ? kUnityDb : playbackDb);
        }
        setMicrophoneDb(stream, captureDb, stackMuted || call->getMicrophoneMuted());
    }
    // The local user's own stream in the conference: the mix to the speaker,
    // the microphone to the mix. Its mute is a switch of the mix, not a gain.
    LinphoneConference* const conference = linphone_core_get_conference(core->cPtr());
    AudioStream* const mix = conference != nullptr ? linphone_conference_get_audio_stream(conference) : nullptr;
    if (mix != nullptr) {
        setSpeakerDb(mix, playbackDb);
        setMicrophoneDb(mix, captureDb, false);
    }
}

}  // namespace Tarvent::VirtualChannel
