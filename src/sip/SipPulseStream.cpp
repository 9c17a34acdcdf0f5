#include "sip/SipPulseStream.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>

#include <mediastreamer2/msinterfaces.h>
#include <pulse/pulseaudio.h>

#include "logging/Logger.h"
#include "sip/SipPulseServer.h"

namespace Tarvent::VirtualChannel {

namespace {

// The buffer the filters ask the server for: 40 ms, as the process asks of
// every sound client (SipStack::applyProcessDefaults), which wakes the
// sound threads half as often as 20 ms and rides out a busy machine's late
// ticks. A PULSE_LATENCY_MSEC of the user's overrides it.
constexpr pa_usec_t kTargetLatencyUs = 40000;
// What a capture stream delivers at a time: the ticks that follow its clock
// get their samples every other tick at most.
constexpr pa_usec_t kCaptureFragmentUs = 20000;
// Playback keeps at most this much waiting; more is dropped over the
// flow-control interval, so a clock drift never adds up to delay.
constexpr std::uint32_t kMaxQueuedMs = 40;
constexpr std::uint32_t kFlowControlIntervalMs = 5000;
// Silence owed for longer (the ticker stalled) is not made up for.
constexpr int kMaxSilenceMs = 100;
// How long the start of a graph waits for its device.
constexpr std::chrono::milliseconds kOpenTimeout{1000};

const char* directionName(SipPulseStream::Direction direction)
{
    return direction == SipPulseStream::Direction::Playback ? "playback" : "capture";
}

// The media library's gain is the share of the server's normal volume (a
// cubic scale of the samples), as its own PulseAudio filters had it.
pa_volume_t serverVolume(float gain)
{
    return static_cast<pa_volume_t>(std::min<double>(static_cast<double>(gain) * PA_VOLUME_NORM, PA_VOLUME_MAX));
}

SipPulseStream* self(MSFilter* filter)
{
    return static_cast<SipPulseStream*>(filter->data);
}

// The filters run inside the media library's C code: nothing may leave them.
template <class F>
void guarded(const char* what, F&& body)
{
    try {
        body();
    } catch (const std::exception& error) {
        logError("Sound stream failed in %s: what=\"%s\"", what, error.what());
    } catch (...) {
        logError("Sound stream failed in %s", what);
    }
}

}  // namespace

MSFilterMethod SipPulseStream::methods_[] = {
    {MS_FILTER_SET_SAMPLE_RATE, &SipPulseStream::setSampleRateMethod},
    {MS_FILTER_GET_SAMPLE_RATE, &SipPulseStream::getSampleRateMethod},
    {MS_FILTER_SET_NCHANNELS, &SipPulseStream::setChannelsMethod},
    {MS_FILTER_GET_NCHANNELS, &SipPulseStream::getChannelsMethod},
    {MS_AUDIO_PLAYBACK_SET_VOLUME_GAIN, &SipPulseStream::setVolumeMethod},
    {MS_AUDIO_PLAYBACK_GET_VOLUME_GAIN, &SipPulseStream::getVolumeMethod},
    {MS_AUDIO_CAPTURE_SET_VOLUME_GAIN, &SipPulseStream::setVolumeMethod},
    {MS_AUDIO_CAPTURE_GET_VOLUME_GAIN, &SipPulseStream::getVolumeMethod},
    {0, nullptr},
};

MSFilterDesc SipPulseStream::playbackDesc_ = {
    MS_FILTER_PLUGIN_ID,
    "OvraPulsePlayback",
    "Sound output on a PulseAudio sink that survives the server",
    MS_FILTER_OTHER,
    nullptr,
    1,
    0,
    &SipPulseStream::init<SipPulseStream::Direction::Playback>,
    &SipPulseStream::preprocessFilter,
    &SipPulseStream::processFilter,
    &SipPulseStream::postprocessFilter,
    &SipPulseStream::uninit,
    SipPulseStream::methods_,
    0,
};

MSFilterDesc SipPulseStream::captureDesc_ = {
    MS_FILTER_PLUGIN_ID,
    "OvraPulseCapture",
    "Sound input from a PulseAudio source that survives the server",
    MS_FILTER_OTHER,
    nullptr,
    0,
    1,
    &SipPulseStream::init<SipPulseStream::Direction::Capture>,
    &SipPulseStream::preprocessFilter,
    &SipPulseStream::processFilter,
    &SipPulseStream::postprocessFilter,
    &SipPulseStream::uninit,
    SipPulseStream::methods_,
    0,
};

MSFilterDesc* SipPulseStream::playbackDesc()
{
    return &playbackDesc_;
}

MSFilterDesc* SipPulseStream::captureDesc()
{
    return &captureDesc_;
}

SipPulseStream::SipPulseStream(MSFilter* filter, Direction direction) : filter_(filter), direction_(direction)
{
    ms_flow_controlled_bufferizer_init(&bufferizer_, filter, rate_, channels_);
    ms_flow_controlled_bufferizer_set_max_size_ms(&bufferizer_, kMaxQueuedMs);
    ms_flow_controlled_bufferizer_set_flow_control_interval_ms(&bufferizer_, kFlowControlIntervalMs);
}

SipPulseStream::~SipPulseStream()
{
    {
        const SipPulseServer::Lock lock(SipPulseServer::getInstance());
        disconnect();
    }
    if (synchronizer_ != nullptr) {
        ms_ticker_synchronizer_destroy(synchronizer_);
    }
    ms_flow_controlled_bufferizer_uninit(&bufferizer_);
}

void SipPulseStream::setDevice(const std::string& description)
{
    const SipPulseServer::Lock lock(SipPulseServer::getInstance());
    description_ = description;
}

template <SipPulseStream::Direction D>
void SipPulseStream::init(MSFilter* filter)
{
    filter->data = nullptr;
    guarded("init", [&] { filter->data = new SipPulseStream(filter, D); });
}

void SipPulseStream::uninit(MSFilter* filter)
{
    guarded("uninit", [&] { delete self(filter); });
    filter->data = nullptr;
}

void SipPulseStream::preprocessFilter(MSFilter* filter)
{
    if (self(filter) != nullptr) {
        guarded("preprocess", [&] { self(filter)->preprocess(); });
    }
}

void SipPulseStream::processFilter(MSFilter* filter)
{
    if (self(filter) == nullptr) {
        for (int i = 0; i < filter->desc->ninputs; ++i) {
            ms_queue_flush(filter->inputs[i]);
        }
        return;
    }
    guarded("process", [&] { self(filter)->process(); });
}

void SipPulseStream::postprocessFilter(MSFilter* filter)
{
    if (self(filter) != nullptr) {
        guarded("postprocess", [&] { self(filter)->postprocess(); });
    }
}

int SipPulseStream::setSampleRateMethod(MSFilter* filter, void* arg)
{
    return self(filter) != nullptr ? self(filter)->setSampleRate(*static_cast<int*>(arg)) : -1;
}

int SipPulseStream::getSampleRateMethod(MSFilter* filter, void* arg)
{
    if (self(filter) == nullptr) {
        return -1;
    }
    const SipPulseServer::Lock lock(SipPulseServer::getInstance());
    *static_cast<int*>(arg) = self(filter)->rate_;
    return 0;
}

int SipPulseStream::setChannelsMethod(MSFilter* filter, void* arg)
{
    return self(filter) != nullptr ? self(filter)->setChannels(*static_cast<int*>(arg)) : -1;
}

int SipPulseStream::getChannelsMethod(MSFilter* filter, void* arg)
{
    if (self(filter) == nullptr) {
        return -1;
    }
    const SipPulseServer::Lock lock(SipPulseServer::getInstance());
    *static_cast<int*>(arg) = self(filter)->channels_;
    return 0;
}

int SipPulseStream::setVolumeMethod(MSFilter* filter, void* arg)
{
    if (self(filter) == nullptr) {
        return -1;
    }
    self(filter)->setVolume(*static_cast<float*>(arg));
    return 0;
}

int SipPulseStream::getVolumeMethod(MSFilter* filter, void* arg)
{
    if (self(filter) == nullptr) {
        return -1;
    }
    const SipPulseServer::Lock lock(SipPulseServer::getInstance());
    const float volume = self(filter)->volume_;
    *static_cast<float*>(arg) = volume < 0.0f ? 1.0f : volume;
    return 0;
}

void SipPulseStream::preprocess()
{
    SipPulseServer& server = SipPulseServer::getInstance();
    const SipPulseServer::Lock lock(server);
    running_ = true;
    useDefault_ = false;
    sendingSilence_ = false;
    nextAttempt_ = 0;
    // The graph starts on a running device, as on any other sound card, so
    // that its clock is the device's from the first tick; a server that does
    // not answer in time leaves it to the retries.
    connect();
    const auto deadline = std::chrono::steady_clock::now() + kOpenTimeout;
    while (stream_ != nullptr && state_ != PA_STREAM_READY && PA_STREAM_IS_GOOD(static_cast<pa_stream_state_t>(state_)) &&
           std::chrono::steady_clock::now() < deadline) {
        server.waitFor(deadline);
    }
    if (ready() && direction_ == Direction::Capture) {
        attachSynchronizer();
    }
}

void SipPulseStream::process()
{
    const std::uint64_t now = filter_->ticker->time;
    const SipPulseServer::Lock lock(SipPulseServer::getInstance());
    keepConnected(now);
    if (direction_ == Direction::Playback) {
        play();
    } else {
        capture(now);
    }
}

void SipPulseStream::postprocess()
{
    const SipPulseServer::Lock lock(SipPulseServer::getInstance());
    running_ = false;
    detachSynchronizer();
    disconnect();
    ms_flow_controlled_bufferizer_flush(&bufferizer_);
}

int SipPulseStream::setSampleRate(int rate)
{
    const SipPulseServer::Lock lock(SipPulseServer::getInstance());
    if (stream_ != nullptr || rate <= 0) {
        return -1;
    }
    rate_ = rate;
    ms_flow_controlled_bufferizer_set_samplerate(&bufferizer_, rate);
    return 0;
}

int SipPulseStream::setChannels(int channels)
{
    const SipPulseServer::Lock lock(SipPulseServer::getInstance());
    if (stream_ != nullptr || channels <= 0 || channels > static_cast<int>(PA_CHANNELS_MAX)) {
        return -1;
    }
    channels_ = channels;
    ms_flow_controlled_bufferizer_set_nchannels(&bufferizer_, channels);
    return 0;
}

void SipPulseStream::setVolume(float volume)
{
    const SipPulseServer::Lock lock(SipPulseServer::getInstance());
    volume_ = std::max(0.0f, volume);
    volumeApplied_ = false;
    if (ready()) {
        applyVolume();
    }
}

bool SipPulseStream::ready() const
{
    return stream_ != nullptr && state_ == PA_STREAM_READY;
}

std::size_t SipPulseStream::bytesPerSample() const
{
    return sizeof(std::int16_t) * static_cast<std::size_t>(channels_);
}

void SipPulseStream::onState(pa_stream* stream, void* data)
{
    SipPulseStream& me = *static_cast<SipPulseStream*>(data);
    if (stream == me.stream_) {
        me.state_ = pa_stream_get_state(stream);
        SipPulseServer::getInstance().signal();
    }
}

void SipPulseStream::connect()
{
    SipPulseServer& server = SipPulseServer::getInstance();
    std::uint64_t generation = 0;
    pa_context* const context = server.liveContext(generation);
    if (context == nullptr) {
        return;
    }
    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_S16LE;
    spec.rate = static_cast<std::uint32_t>(rate_);
    spec.channels = static_cast<std::uint8_t>(channels_);
    stream_ = pa_stream_new(context, "call audio", &spec, nullptr);
    if (stream_ == nullptr) {
        logError("Failed to create a sound stream: reason=\"%s\"", pa_strerror(pa_context_errno(context)));
        return;
    }
    state_ = PA_STREAM_UNCONNECTED;
    everReady_ = false;
    volumeApplied_ = false;
    pa_stream_set_state_callback(stream_, &SipPulseStream::onState, this);
    if (direction_ == Direction::Playback) {
        pa_stream_set_write_callback(stream_, &SipPulseStream::onWritable, this);
    }

    const bool playback = direction_ == Direction::Playback;
    const std::string name = useDefault_ ? std::string() : server.deviceName(description_, playback);
    const char* const device = name.empty() ? nullptr : name.c_str();
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(kTargetLatencyUs, &spec));
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(kCaptureFragmentUs, &spec));
    int result = 0;
    if (playback) {
        pa_cvolume volume{};
        if (volume_ >= 0.0f) {
            pa_cvolume_set(&volume, spec.channels, serverVolume(volume_));
            volumeApplied_ = true;
        }
        result = pa_stream_connect_playback(stream_, device, &attributes, PA_STREAM_ADJUST_LATENCY,
                                            volume_ >= 0.0f ? &volume : nullptr, nullptr);
    } else {
        // Corked until the first tick reads it: what it records before then is
        // stale and would mislead the ticker's clock.
        result = pa_stream_connect_record(stream_, device, &attributes,
                                          static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED));
    }
    if (result < 0) {
        logWarning("Failed to open a sound stream: direction=%s; device=\"%s\"; reason=\"%s\"",
                   directionName(direction_), description_.c_str(), pa_strerror(pa_context_errno(context)));
        disconnect();
    }
}

void SipPulseStream::disconnect()
{
    if (stream_ == nullptr) {
        return;
    }
    // No callback of libpulse may reach this object once the stream is let go.
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(static_cast<pa_stream_state_t>(state_))) {
        pa_stream_disconnect(stream_);
    }
    pa_stream_unref(stream_);
    stream_ = nullptr;
    state_ = PA_STREAM_UNCONNECTED;
}

void SipPulseStream::keepConnected(std::uint64_t now)
{
    if (stream_ != nullptr && (state_ == PA_STREAM_FAILED || state_ == PA_STREAM_TERMINATED)) {
        const bool wasReady = everReady_;
        disconnect();
        if (wasReady) {
            logWarning("Sound stream lost: direction=%s; device=\"%s\"", directionName(direction_),
                       description_.c_str());
            useDefault_ = false;  // a new server may have the device again
        } else {
            // The device is not on this server (or the default is not): try the other.
            useDefault_ = !useDefault_;
        }
        nextAttempt_ = now + kRetryPeriodMs;
    }
    if (stream_ == nullptr && now >= nextAttempt_) {
        nextAttempt_ = now + kRetryPeriodMs;
        connect();
    }
    if (ready() && !everReady_) {
        everReady_ = true;
        logDebug("Sound stream open: direction=%s; device=\"%s\"; default=%d", directionName(direction_),
                 description_.c_str(), useDefault_ ? 1 : 0);
    }
    if (ready() && !volumeApplied_) {
        applyVolume();
    }
}

void SipPulseStream::applyVolume()
{
    volumeApplied_ = true;
    if (volume_ < 0.0f) {
        return;
    }
    pa_cvolume volume{};
    pa_cvolume_set(&volume, static_cast<unsigned>(channels_), serverVolume(volume_));
    pa_context* const context = pa_stream_get_context(stream_);
    const std::uint32_t index = pa_stream_get_index(stream_);
    pa_operation* const operation =
        direction_ == Direction::Playback
            ? pa_context_set_sink_input_volume(context, index, &volume, nullptr, nullptr)
            : pa_context_set_source_output_volume(context, index, &volume, nullptr, nullptr);
    if (operation != nullptr) {
        pa_operation_unref(operation);
    }
}

void SipPulseStream::play()
{
    MSQueue* const input = filter_->inputs[0];
    if (!ready()) {
        if (input != nullptr) {
            ms_queue_flush(input);
        }
        ms_flow_controlled_bufferizer_flush(&bufferizer_);
        return;
    }
    if (input != nullptr) {
        ms_flow_controlled_bufferizer_put_from_queue(&bufferizer_, input);
    }
    write(pa_stream_writable_size(stream_));
}

void SipPulseStream::write(std::size_t writable)
{
    if (writable == static_cast<std::size_t>(-1)) {
        return;
    }
    std::size_t size = std::min(writable, ms_flow_controlled_bufferizer_get_avail(&bufferizer_));
    size -= size % bytesPerSample();
    if (size == 0) {
        return;
    }
    void* const data = pa_xmalloc(size);
    ms_flow_controlled_bufferizer_read(&bufferizer_, static_cast<std::uint8_t*>(data), size);
    pa_stream_write(stream_, data, size, pa_xfree, 0, PA_SEEK_RELATIVE);
}

void SipPulseStream::onWritable(pa_stream* stream, std::size_t size, void* data)
{
    // The server wants more between two ticks: what waits goes at once.
    SipPulseStream& me = *static_cast<SipPulseStream*>(data);
    if (stream == me.stream_ && me.state_ == PA_STREAM_READY) {
        me.write(size);
    }
}

void SipPulseStream::capture(std::uint64_t now)
{
    if (!ready()) {
        detachSynchronizer();
        sendSilence(now);
        return;
    }
    sendingSilence_ = false;
    attachSynchronizer();
    if (pa_stream_is_corked(stream_) > 0) {
        pa_operation* const operation = pa_stream_cork(stream_, 0, nullptr, nullptr);
        if (operation != nullptr) {
            pa_operation_unref(operation);
        }
    }
    while (pa_stream_readable_size(stream_) > 0) {
        const void* data = nullptr;
        std::size_t size = 0;
        if (pa_stream_peek(stream_, &data, &size) < 0 || size == 0) {
            break;
        }
        if (data != nullptr) {
            mblk_t* const block = allocb(size, 0);
            std::memcpy(block->b_wptr, data, size);
            block->b_wptr += size;
            ms_queue_put(filter_->outputs[0], block);
        }
        // A hole counts too: the ticker follows the device's clock.
        samplesRead_ += size / bytesPerSample();
        ms_ticker_synchronizer_update(synchronizer_, samplesRead_, static_cast<unsigned>(rate_));
        pa_stream_drop(stream_);
    }
}

void SipPulseStream::sendSilence(std::uint64_t now)
{
    if (!sendingSilence_) {
        sendingSilence_ = true;
        silenceSince_ = now;
        silenceSent_ = 0;
    }
    const std::uint64_t due = (now - silenceSince_) * static_cast<std::uint64_t>(rate_) / 1000;
    const std::uint64_t most = static_cast<std::uint64_t>(rate_) * kMaxSilenceMs / 1000;
    if (due > silenceSent_ + most) {
        silenceSent_ = due - most;
    }
    const std::uint64_t frames = due - silenceSent_;
    if (frames == 0) {
        return;
    }
    const std::size_t size = static_cast<std::size_t>(frames) * bytesPerSample();
    mblk_t* const block = allocb(size, 0);
    std::memset(block->b_wptr, 0, size);
    block->b_wptr += size;
    ms_queue_put(filter_->outputs[0], block);
    silenceSent_ = due;
}

void SipPulseStream::attachSynchronizer()
{
    if (synchronizer_ != nullptr) {
        return;
    }
    synchronizer_ = ms_ticker_synchronizer_new();
    ms_ticker_set_synchronizer(filter_->ticker, synchronizer_);
    samplesRead_ = 0;
}

void SipPulseStream::detachSynchronizer()
{
    if (synchronizer_ == nullptr) {
        return;
    }
    ms_ticker_set_synchronizer(filter_->ticker, nullptr);
    ms_ticker_synchronizer_destroy(synchronizer_);
    synchronizer_ = nullptr;
}

}  // namespace Tarvent::VirtualChannel
