#pragma once

#include <memory>

namespace linphone {
class Core;
}  // namespace linphone

namespace Tarvent::VirtualChannel {

// The PulseAudio sound cards of the engine's Cores, in place of the media
// library's own. Those share one connection to the server for the life of
// the process: once that server is gone they never reach another one, and
// every stream opened on them after that (a call's, a tone's, a player's)
// crashes the process. These reach the server through SipPulseServer and
// stream through SipPulseStream, which outlive any server.
//
// A card stands for a device by its description (the name the engine
// shows), like the library's: a sink, merged with the source of the same
// description into one card that can do both, or a source alone.
//
// Threads: the core thread (the card manager belongs to the Core).
class SipPulseSoundCards {
public:
    // Held while a Core is made: the media library lists no sound card
    // meanwhile (its own PulseAudio cards would connect to the server).
    // One at a time in the process.
    class CreationGuard {
    public:
        CreationGuard();
        ~CreationGuard();
        CreationGuard(const CreationGuard&) = delete;
        CreationGuard& operator=(const CreationGuard&) = delete;
        void end();

    private:
        bool held_ = true;
    };

    // Right after a Core was made and started, with the guard that was held
    // meanwhile: puts these cards in the place of the library's own
    // PulseAudio cards, ends the guard and lists the Core's sound devices.
    static void install(const std::shared_ptr<linphone::Core>& core, CreationGuard& guard);
};

}  // namespace Tarvent::VirtualChannel
