#pragma once

namespace Tarvent::VirtualChannel {

class SipAudioPlayer;

// Told when a player that does not loop reached the end of its file (it has
// stopped and rewound itself by then).
// Called on the player's notification thread, never on the SIP core thread
// and with no lock of the player held, so the listener may take its own lock
// (one that it also holds while it starts, stops or disposes of players).
// A player disposed of before its report is delivered reports nothing; one
// disposed of while the listener waits for its own lock may be gone when the
// listener gets it, so use `player` only as a key until it is found among
// the players the listener still owns.
class ISipAudioPlayerCallback {
public:
    virtual ~ISipAudioPlayerCallback() = default;
    virtual void onPlayerEof(SipAudioPlayer* player) = 0;
};

}  // namespace Tarvent::VirtualChannel
