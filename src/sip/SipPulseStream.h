#pragma once

#include <cstdint>
#include <string>

#include <mediastreamer2/msfilter.h>
#include <mediastreamer2/msqueue.h>
#include <mediastreamer2/msticker.h>

struct pa_stream;

namespace Tarvent::VirtualChannel {

// The media library's sound filters on a PulseAudio device: a playback
// filter that plays its input on a sink, a capture filter that delivers what
// a source records. Made by the sound cards of SipPulseSoundCards.
//
// They outlive their server: when it goes away the stream fails, and from
// then on the playback filter drops its input and the capture filter
// delivers silence at the stream's rate, so that a call keeps sending. Every
// kRetryPeriodMs the filter tries again on the server that is there then
// (SipPulseServer), on its own device or, when that one is not there, on the
// server's default device; the call's audio comes back by itself.
//
// Threads: the media ticker runs the filter; its methods are called from any
// thread. Everything is guarded by SipPulseServer's lock (libpulse's
// callbacks run under it too).
class SipPulseStream {
public:
    enum class Direction { Playback, Capture };
    static constexpr std::uint64_t kRetryPeriodMs = 500;

    // The media library's descriptions of the two filters.
    static MSFilterDesc* playbackDesc();
    static MSFilterDesc* captureDesc();

    // The filter's stream; `filter` owns it (through its data).
    SipPulseStream(MSFilter* filter, Direction direction);
    ~SipPulseStream();
    SipPulseStream(const SipPulseStream&) = delete;
    SipPulseStream& operator=(const SipPulseStream&) = delete;

    // The device's description, as its sound card names it.
    void setDevice(const std::string& description);

private:
    void preprocess();
    void process();
    void postprocess();
    int setSampleRate(int rate);
    int setChannels(int channels);
    void setVolume(float volume);

    // With the lock held.
    void connect();
    void disconnect();
    // Drops a stream that failed; connects again once it is time.
    void keepConnected(std::uint64_t now);
    void play();
    void write(std::size_t writable);
    void capture(std::uint64_t now);
    void sendSilence(std::uint64_t now);
    void applyVolume();
    void attachSynchronizer();
    void detachSynchronizer();
    bool ready() const;
    std::size_t bytesPerSample() const;

    static void onState(pa_stream* stream, void* self);
    static void onWritable(pa_stream* stream, std::size_t size, void* self);

    // The filter descriptions' entry points.
    template <Direction D>
    static void init(MSFilter* filter);
    static void uninit(MSFilter* filter);
    static void preprocessFilter(MSFilter* filter);
    static void processFilter(MSFilter* filter);
    static void postprocessFilter(MSFilter* filter);
    static int setSampleRateMethod(MSFilter* filter, void* arg);
    static int getSampleRateMethod(MSFilter* filter, void* arg);
    static int setChannelsMethod(MSFilter* filter, void* arg);
    static int getChannelsMethod(MSFilter* filter, void* arg);
    static int setVolumeMethod(MSFilter* filter, void* arg);
    static int getVolumeMethod(MSFilter* filter, void* arg);
    static MSFilterMethod methods_[];
    static MSFilterDesc playbackDesc_;
    static MSFilterDesc captureDesc_;

    MSFilter* const filter_;
    const Direction direction_;
    std::string description_;
    int rate_ = 8000;
    int channels_ = 1;
    float volume_ = -1.0f;  // below 0: the server's own
    bool running_ = false;

    pa_stream* stream_ = nullptr;
    int state_ = 0;             // the stream's pa_stream_state_t, set by libpulse
    bool everReady_ = false;    // the stream got ready once
    bool useDefault_ = false;   // the device is not on the server: its default stands in
    bool volumeApplied_ = false;
    std::uint64_t nextAttempt_ = 0;  // ticker time (ms) of the next connection attempt

    MSFlowControlledBufferizer bufferizer_;  // playback: what waits for the server
    MSTickerSynchronizer* synchronizer_ = nullptr;  // capture: the ticker follows the device's clock
    std::uint64_t samplesRead_ = 0;
    std::uint64_t silenceSince_ = 0;  // ticker time (ms) from which silence is owed
    std::uint64_t silenceSent_ = 0;   // samples of silence sent since then
    bool sendingSilence_ = false;
};

}  // namespace Tarvent::VirtualChannel
