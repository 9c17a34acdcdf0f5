#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "service/AudioDeviceSnapshot.h"
#include "service/IAccountServiceCallback.h"
#include "service/IAudioDeviceManagerServiceCallback.h"
#include "service/ICallServiceCallback.h"
#include "sip/SipCallMediaState.h"

namespace Tarvent::VirtualChannel::TestSupport {

// One report of a service to its client.
struct ServiceEvent {
    // incoming, reg, early, confirmed, terminated, media, hold, devices
    std::string kind;
    int accountId = -1;  // devices: the manager's object id
    int callId = -1;
    int pjsipCallId = -1;
    int value = 0;  // reg: status; terminated: reason
    int statusCode = 0;
    bool flag = false;  // reg: isConnected; hold: isHold
    std::string text;   // incoming: the INVITE; early: the route name
    SipCallMediaState media;
    AudioDeviceSnapshot snapshot;
};

// The client of the services in tests: keeps every report and lets the test
// wait for them. Any thread.
class ServiceEventRecorder : public IAccountServiceCallback,
                             public ICallServiceCallback,
                             public IAudioDeviceManagerServiceCallback {
public:
    void onIncomingCall(int accountId, int callId, int pjsipCallId, const char* sipMessage) override;
    void onAccountRegStateChanged(int accountId, bool isConnected, int status, int statusCode) override;
    void onCallEarly(int accountId, int callId, int pjsipCallId, std::string routeName) override;
    void onCallConfirmed(int accountId, int callId, int pjsipCallId) override;
    void onCallTerminated(int accountId, int callId, int pjsipCallId, int reason) override;
    void onCallMediaState(int accountId, int callId, const SipCallMediaState& mediaState) override;
    void onCallHoldStateChanged(int accountId, int callId, int pjsipCallId, bool isHold) override;
    void onAudioDevicesChanged(int objectId, const AudioDeviceSnapshot& snapshot) override;

    // The first report of `kind` not taken before that matches; waits up to `timeout`.
    std::optional<ServiceEvent> take(const std::string& kind,
                                     std::chrono::milliseconds timeout = std::chrono::milliseconds(10000),
                                     const std::function<bool(const ServiceEvent&)>& match = nullptr);
    int count(const std::string& kind);

private:
    void add(ServiceEvent event);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ServiceEvent> events_;
    std::vector<bool> taken_;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
