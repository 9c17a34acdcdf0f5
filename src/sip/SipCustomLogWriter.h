#pragma once

#include <chrono>
#include <functional>
#include <mutex>

#include "sip/SipLogEntry.h"

namespace Tarvent::VirtualChannel {

// Carries the SIP library's log messages into the engine log as "PJSIP: ..."
// Debug lines: drops the sound-card discovery chatter and lets the repeating
// capture-read and playback-write errors of the sound devices through at most
// once per throttleInterval each.
// Any thread: the library logs from its core thread and its media threads.
class SipCustomLogWriter {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    // `now` is the clock (the steady clock unless a test passes its own).
    explicit SipCustomLogWriter(Now now = &Clock::now);

    void write(const SipLogEntry& entry);

    // True when `entry` contains `text` and the last entry with it was let
    // through less than throttleInterval ago; otherwise false, and when it
    // contains `text` lastTime becomes now.
    bool isThrottled(const SipLogEntry& entry, const char* text, Clock::time_point& lastTime);

private:
    bool isDropped(const SipLogEntry& entry);

    const std::chrono::milliseconds throttleInterval{10000};
    const Now now_;
    std::mutex timeMutex_;  // guards the two time stamps; lock order level 4 (leaf, released before logging)
    Clock::time_point lastPlaybackWriteError;
    Clock::time_point lastCaptureReadError;
};

}  // namespace Tarvent::VirtualChannel
