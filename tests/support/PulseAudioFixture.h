#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace Tarvent::VirtualChannel::TestSupport {

// A private PulseAudio server for one test: virtual sound devices with real,
// clocked audio and no sound card. Started in a temp folder; the test
// process's environment is pointed at it (PULSE_SERVER, ...) so that audio
// clients created afterwards use it. Must exist before the first SIP stack of
// the process is created, or that process never sees PulseAudio.
// The standard devices are the sinks "headset_speaker" ("Headset Speaker")
// and "desk_speaker" ("Desk Speaker") and the source "headset_microphone"
// ("Headset Microphone", a 1 kHz sine).
// Test thread only.
class PulseAudioFixture {
public:
    // A sine source has a fixed latency on this server: it pushes kSineBlock
    // of its tone at once and then nothing until the next block is due, so
    // whoever records it gets its audio in bursts that far apart (a first
    // bit at once, the next burst a block later). A real microphone hands
    // over every few milliseconds.
    static constexpr std::chrono::milliseconds kSineBlock{2000};

    // Throws std::runtime_error when the server doesn't answer within 10 s.
    explicit PulseAudioFixture(bool standardDevices = true);
    ~PulseAudioFixture();

    PulseAudioFixture(const PulseAudioFixture&) = delete;
    PulseAudioFixture& operator=(const PulseAudioFixture&) = delete;

    // Each returns the module index, which removeDevice takes.
    int addSink(const std::string& name, const std::string& description);
    // A silent microphone.
    int addSilentSource(const std::string& name, const std::string& description);
    int addSineSource(const std::string& name, const std::string& description, int frequencyHz);
    // A microphone that records whatever is played into the sink "<name>_feed"
    // (see play). The feeder sink is removed with the microphone.
    int addFedSource(const std::string& name, const std::string& description);
    void removeDevice(int moduleIndex);

    // `pactl list short sinks|sources`, one name per entry.
    std::vector<std::string> sinkNames();
    std::vector<std::string> sourceNames();

    // Plays a WAV file into `sink` in the background (stop by destroying it).
    std::unique_ptr<ChildProcess> play(const std::string& sink, const std::string& wavFile);
    // A recording of a source (mono 16-bit samples at 8000 Hz) that runs in
    // the background until stop(). Test thread only; the fixture must
    // outlive it.
    class Recording {
    public:
        ~Recording();
        Recording(const Recording&) = delete;
        Recording& operator=(const Recording&) = delete;
        // Waits until the first samples have arrived (an idle sink can take
        // a second or two); false when none came within `timeout`.
        bool waitForData(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
        // The bytes that arrived so far.
        std::uintmax_t size() const;
        // Ends the recording (once) and returns everything it got.
        std::vector<std::int16_t> stop();

    private:
        friend class PulseAudioFixture;
        Recording(std::unique_ptr<ChildProcess> process, std::string file);
        std::unique_ptr<ChildProcess> process_;
        std::string file_;
    };
    std::unique_ptr<Recording> record(const std::string& source);
    // What `sink` plays from now on, through its monitor.
    std::unique_ptr<Recording> recordSink(const std::string& sink);

    // What `sink` played during the next `duration`: mono 16-bit samples at
    // 8000 Hz from its monitor. An idle sink can take a second or two to
    // deliver its first data, so ask for a little more than needed.
    std::vector<std::int16_t> captureSink(const std::string& sink, std::chrono::milliseconds duration);
    // The same for a source (a microphone).
    std::vector<std::int16_t> captureSource(const std::string& source, std::chrono::milliseconds duration);

    // Kills the server at once (SIGKILL), as a crash would: its clients see
    // their connection drop. Its devices are gone with it.
    void kill();
    // A new server on the same socket (the old one killed first if it still
    // runs), with the standard devices unless told otherwise.
    void restart(bool standardDevices = true);

    // Runs pactl against this server; throws with its output when it fails.
    std::string pactl(const std::vector<std::string>& args);

    const std::string& folder() const { return dir_.path(); }
    const std::string& server() const { return server_; }

private:
    void startDaemon();
    void addStandardDevices();
    int loadModule(const std::vector<std::string>& args);
    std::vector<std::string> shortList(const std::string& what);
    void setEnvironment();
    void restoreEnvironment();

    TempDir dir_;
    std::string server_;
    std::vector<std::string> daemonEnv_;
    std::unique_ptr<ChildProcess> daemon_;
    std::map<int, int> feeders_;  // microphone module -> feeder sink module
    std::map<std::string, std::optional<std::string>> savedEnv_;
    int captures_ = 0;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
