#pragma once

namespace Tarvent::VirtualChannel {

// The packet handler's and the device service's way to the process-wide SIP
// stack: every operation forwards to SipStack and returns what it returns.
// Holds no data; any thread (SipStack serialises).
class SipStackFacade {
public:
    static constexpr const char* kNotRunningText = "SIP stack is not running";
    static constexpr const char* kCodecPriorityRefusal =
        "Failed to set codec priority because SIP stack is not running.";
    static constexpr const char* kPlaybackLevelRefusal =
        "Failed to set playback audio level because SIP stack is not running";
    static constexpr const char* kCaptureLevelRefusal =
        "Failed to set capture audio level because SIP stack is not running";
    static constexpr const char* kMuteRefusal = "Failed to mute microphone because SIP stack is not running";

    bool isStarted();
    void start(bool useNoVad, const char* userAgent, bool g729Enabled, bool sipLogEnabled);
    void stop();
    // False when the stack is stopped or refused the codec (it logs why).
    bool setCodecPriority(const char* codecName, int priority);
    // The stack logs each request first; while it is stopped these throw
    // std::runtime_error with the stack's refusal (k...Refusal above).
    void setPlaybackLevel(float level);
    void setCaptureLevel(float level);
    void muteMicrophone(bool mute);

    // Throws std::runtime_error "SIP stack is not running" when the stack is
    // stopped, so that requests fail before they touch it.
    static void requireStarted();
};

}  // namespace Tarvent::VirtualChannel
