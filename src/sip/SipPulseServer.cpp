#include "sip/SipPulseServer.h"

#include <pulse/pulseaudio.h>

#include "logging/Logger.h"

namespace Tarvent::VirtualChannel {

namespace {

// The client name the server shows for the engine.
const char* const kClientName = "ovra";

struct Listing {
    SipPulseServer::Devices devices;
    pa_threaded_mainloop* loop = nullptr;
    int pending = 2;
    bool failed = false;
};

void listingDone(Listing& listing, int eol)
{
    if (eol < 0) {
        listing.failed = true;
    }
    --listing.pending;
    pa_threaded_mainloop_signal(listing.loop, 0);
}

void onSink(pa_context* /*context*/, const pa_sink_info* info, int eol, void* data)
{
    Listing& listing = *static_cast<Listing*>(data);
    if (eol != 0) {
        listingDone(listing, eol);
        return;
    }
    listing.devices.sinks.push_back({info->name != nullptr ? info->name : "",
                                     info->description != nullptr ? info->description : ""});
}

void onSource(pa_context* /*context*/, const pa_source_info* info, int eol, void* data)
{
    Listing& listing = *static_cast<Listing*>(data);
    if (eol != 0) {
        listingDone(listing, eol);
        return;
    }
    // A monitor only repeats what a sink plays: no microphone.
    if (info->monitor_of_sink != PA_INVALID_INDEX) {
        return;
    }
    listing.devices.sources.push_back({info->name != nullptr ? info->name : "",
                                       info->description != nullptr ? info->description : ""});
}

void onWaitTimer(pa_mainloop_api* /*api*/, pa_time_event* /*event*/, const struct timeval* /*when*/, void* loop)
{
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

void release(pa_operation* operation)
{
    if (operation == nullptr) {
        return;
    }
    // A cancelled listing never calls back into the stack frame it was given.
    if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
        pa_operation_cancel(operation);
    }
    pa_operation_unref(operation);
}

}  // namespace

SipPulseServer::Lock::Lock(SipPulseServer& server) : loop_(server.loop())
{
    if (loop_ != nullptr) {
        pa_threaded_mainloop_lock(loop_);
    }
}

SipPulseServer::Lock::~Lock()
{
    if (loop_ != nullptr) {
        pa_threaded_mainloop_unlock(loop_);
    }
}

SipPulseServer& SipPulseServer::getInstance()
{
    static SipPulseServer instance;
    return instance;
}

SipPulseServer::~SipPulseServer()
{
    if (loop_ == nullptr) {
        return;
    }
    {
        const Lock lock(*this);
        if (context_ != nullptr) {
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
            context_ = nullptr;
        }
    }
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
}

pa_threaded_mainloop* SipPulseServer::loop()
{
    std::call_once(started_, [this] {
        pa_threaded_mainloop* const loop = pa_threaded_mainloop_new();
        if (loop == nullptr) {
            logError("Failed to create the sound server's event loop");
            return;
        }
        pa_threaded_mainloop_set_name(loop, "sound server");
        if (pa_threaded_mainloop_start(loop) < 0) {
            logError("Failed to start the sound server's event loop");
            pa_threaded_mainloop_free(loop);
            return;
        }
        loop_ = loop;
    });
    return loop_;
}

SipPulseServer::Session SipPulseServer::session()
{
    const Lock lock(*this);
    if (!connected_ && generation_ > 0) {
        startConnecting(true);
    }
    return Session{generation_, connected_};
}

pa_context* SipPulseServer::liveContext(std::uint64_t& generation)
{
    if (connected_) {
        generation = generation_;
        return context_;
    }
    if (generation_ > 0) {
        startConnecting(true);
    }
    return nullptr;
}

void SipPulseServer::startConnecting(bool paced)
{
    if (loop_ == nullptr || connected_ || connecting_) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (paced && lastAttempt_ && now - *lastAttempt_ < kRetryPeriod) {
        return;
    }
    lastAttempt_ = now;
    if (context_ != nullptr) {
        // The old connection is dead: nothing of it is touched again.
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), kClientName);
    if (context_ == nullptr) {
        logError("Failed to create a connection to the sound server");
        return;
    }
    pa_context_set_state_callback(context_, &SipPulseServer::onContextState, this);
    connecting_ = true;
    // No server is started on the engine's behalf: it uses the one that runs.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        connecting_ = false;
    }
}

void SipPulseServer::onContextState(pa_context* context, void* data)
{
    SipPulseServer& self = *static_cast<SipPulseServer*>(data);
    if (context != self.context_) {
        return;
    }
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
        self.connected_ = true;
        self.connecting_ = false;
        ++self.generation_;
        logInfo("Connected to the sound server: connection=%llu", static_cast<unsigned long long>(self.generation_));
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        if (self.connected_) {
            logWarning("Lost the sound server: connection=%llu; reason=\"%s\"",
                       static_cast<unsigned long long>(self.generation_), pa_strerror(pa_context_errno(context)));
        }
        self.connected_ = false;
        self.connecting_ = false;
        break;
    default:
        return;
    }
    pa_threaded_mainloop_signal(self.loop_, 0);
}

void SipPulseServer::signal()
{
    if (loop_ != nullptr) {
        pa_threaded_mainloop_signal(loop_, 0);
    }
}

void SipPulseServer::waitFor(std::chrono::steady_clock::time_point deadline)
{
    if (loop_ == nullptr) {
        return;
    }
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return;
    }
    pa_mainloop_api* const api = pa_threaded_mainloop_get_api(loop_);
    pa_time_event* timer = nullptr;
    if (context_ != nullptr) {
        // On the monotonic clock, as the deadline: a wall-clock timer would
        // wait as much longer as the system clock is set back meanwhile.
        timer = pa_context_rttime_new(context_, pa_rtclock_now() + static_cast<pa_usec_t>(left.count()),
                                      &onWaitTimer, loop_);
    } else {
        timeval when{};
        pa_gettimeofday(&when);
        pa_timeval_add(&when, static_cast<pa_usec_t>(left.count()));
        timer = api->time_new(api, &when, &onWaitTimer, loop_);
    }
    pa_threaded_mainloop_wait(loop_);
    if (timer != nullptr) {
        api->time_free(timer);
    }
}

bool SipPulseServer::waitUntilConnected(std::chrono::steady_clock::time_point deadline)
{
    while (connecting_ && std::chrono::steady_clock::now() < deadline) {
        waitFor(deadline);
    }
    return connected_;
}

std::optional<SipPulseServer::Devices> SipPulseServer::listDevices(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const Lock lock(*this);
    if (loop_ == nullptr) {
        return std::nullopt;
    }
    startConnecting(false);
    if (!waitUntilConnected(deadline)) {
        return std::nullopt;
    }
    Listing listing;
    listing.loop = loop_;
    pa_operation* const sinks = pa_context_get_sink_info_list(context_, &onSink, &listing);
    pa_operation* const sources = pa_context_get_source_info_list(context_, &onSource, &listing);
    if (sinks == nullptr || sources == nullptr) {
        listing.failed = true;
    }
    while (!listing.failed && listing.pending > 0 && connected_ && std::chrono::steady_clock::now() < deadline) {
        waitFor(deadline);
    }
    const bool complete = !listing.failed && listing.pending == 0;
    release(sinks);
    release(sources);
    if (!complete) {
        return std::nullopt;
    }
    listed_ = listing.devices;
    return listing.devices;
}

std::string SipPulseServer::deviceName(const std::string& description, bool sink)
{
    const Lock lock(*this);
    for (const Device& device : sink ? listed_.sinks : listed_.sources) {
        if (device.description == description) {
            return device.name;
        }
    }
    return "";
}

}  // namespace Tarvent::VirtualChannel
