#pragma once

#include <memory>

namespace linphone {
class Core;
}

namespace Tarvent::VirtualChannel {

// The playback and capture levels of the sound device, put on the audio the
// way the media library carries it: each call has its own audio stream with
// a volume stage towards the speaker and one from the microphone, and while
// the local conference runs, its mix reaches the sound device through one
// stream of its own, with the calls' streams only feeding the mix.
//
// A level is a linear factor on the samples (1.0 leaves them unchanged). The
// library's own level setting reaches one call only (its "current" one) and
// is forgotten by every stream that starts anew; so every stream gets the
// levels from here, whenever the stack's levels change and whenever a call's
// or the conference's media changes.
//
// Core thread only; no state of its own.
class SipAudioLevels {
public:
    struct Levels {
        float playback = 1.0f;
        float capture = 1.0f;
    };

    // The gain in dB that the library's volume stages turn into the factor
    // `level`: they take 10^(dB/10). A level of 0 becomes -120 dB (silence,
    // without an infinite gain). `level` must be finite and not negative.
    static float libraryGainDb(float level);

    // Puts `levels` on every call's audio and on the conference's own
    // stream. A call in the conference feeds the mix unscaled: its speaker
    // stage lies between the far end and the mix, so that the others don't
    // hear it through the local user's playback level. A microphone that is
    // muted (the call's, the stack's or the library's own while early media
    // plays) stays silent and takes the new capture level when it unmutes;
    // a muted speaker stays muted.
    static void apply(const std::shared_ptr<linphone::Core>& core, const Levels& levels);
};

}  // namespace Tarvent::VirtualChannel
