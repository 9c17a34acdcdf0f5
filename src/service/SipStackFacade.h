#pragma once

namespace Tarvent::VirtualChannel {

// The packet handler's and the device service's way to the process-wide SIP
// stack: every operation forwards to SipStack and returns what it returns.
// Holds no data; any thread (SipStack serialises).
class SipStackFacade {
public:
    static constexpr const char* kNotRunningText = "SIP stack is not running";

    bool isStarted();
    void start(bool useNoVad, const char* userAgent, bool g729Enabled, bool sipLogEnabled);
    void stop();
    bool setCodecPriority(const char* codecName, int priority);
    void setPlaybackLevel(float level);
    void setCaptureLevel(float level);
    void muteMicrophone(bool mute);

    // Throws std::runtime_error "SIP stack is not running" when the stack is
    // stopped, so that requests fail before they touch it.
    static void requireStarted();
};

}  // namespace Tarvent::VirtualChannel
