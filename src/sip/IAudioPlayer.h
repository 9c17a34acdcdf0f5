#pragma once

namespace Tarvent::VirtualChannel {

// A sound that can be played and stopped; the player service holds its
// players through this.
class IAudioPlayer {
public:
    virtual ~IAudioPlayer() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
};

}  // namespace Tarvent::VirtualChannel
