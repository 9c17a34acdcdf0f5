#include "service/ServiceEventRecorder.h"

#include <utility>

namespace Tarvent::VirtualChannel::TestSupport {

namespace {

ServiceEvent makeEvent(const char* kind, int accountId, int callId = -1, int pjsipCallId = -1)
{
    ServiceEvent event;
    event.kind = kind;
    event.accountId = accountId;
    event.callId = callId;
    event.pjsipCallId = pjsipCallId;
    return event;
}

}  // namespace

void ServiceEventRecorder::onIncomingCall(int accountId, int callId, int pjsipCallId, const char* sipMessage)
{
    ServiceEvent event = makeEvent("incoming", accountId, callId, pjsipCallId);
    event.text = sipMessage != nullptr ? sipMessage : "";
    add(std::move(event));
}

void ServiceEventRecorder::onAccountRegStateChanged(int accountId, bool isConnected, int status, int statusCode)
{
    ServiceEvent event = makeEvent("reg", accountId);
    event.flag = isConnected;
    event.value = status;
    event.statusCode = statusCode;
    add(std::move(event));
}

void ServiceEventRecorder::onCallEarly(int accountId, int callId, int pjsipCallId, std::string routeName)
{
    ServiceEvent event = makeEvent("early", accountId, callId, pjsipCallId);
    event.text = std::move(routeName);
    add(std::move(event));
}

void ServiceEventRecorder::onCallConfirmed(int accountId, int callId, int pjsipCallId)
{
    add(makeEvent("confirmed", accountId, callId, pjsipCallId));
}

void ServiceEventRecorder::onCallTerminated(int accountId, int callId, int pjsipCallId, int reason)
{
    ServiceEvent event = makeEvent("terminated", accountId, callId, pjsipCallId);
    event.value = reason;
    add(std::move(event));
}

void ServiceEventRecorder::onCallMediaState(int accountId, int callId, const SipCallMediaState& mediaState)
{
    ServiceEvent event = makeEvent("media", accountId, callId);
    event.media = mediaState;
    add(std::move(event));
}

void ServiceEventRecorder::onCallHoldStateChanged(int accountId, int callId, int pjsipCallId, bool isHold)
{
    ServiceEvent event = makeEvent("hold", accountId, callId, pjsipCallId);
    event.flag = isHold;
    add(std::move(event));
}

void ServiceEventRecorder::onAudioDevicesChanged(int objectId, const AudioDeviceSnapshot& snapshot)
{
    ServiceEvent event = makeEvent("devices", objectId);
    event.snapshot = snapshot;
    add(std::move(event));
}

std::optional<ServiceEvent> ServiceEventRecorder::take(const std::string& kind, std::chrono::milliseconds timeout,
                                                       const std::function<bool(const ServiceEvent&)>& match)
{
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<ServiceEvent> found;
    changed_.wait_for(lock, timeout, [&] {
        for (std::size_t i = 0; i < events_.size(); ++i) {
            if (!taken_[i] && events_[i].kind == kind && (!match || match(events_[i]))) {
                taken_[i] = true;
                found = events_[i];
                return true;
            }
        }
        return false;
    });
    return found;
}

int ServiceEventRecorder::count(const std::string& kind)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const ServiceEvent& event : events_) {
        n += event.kind == kind ? 1 : 0;
    }
    return n;
}

void ServiceEventRecorder::add(ServiceEvent event)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(event));
        taken_.push_back(false);
    }
    changed_.notify_all();
}

}  // namespace Tarvent::VirtualChannel::TestSupport
