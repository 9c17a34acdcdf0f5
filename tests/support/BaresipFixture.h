#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/BaresipControl.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace Tarvent::VirtualChannel::TestSupport {

class KamailioFixture;

// A far-end SIP user agent (baresip) on 127.0.0.1 with a folder of its own:
// it sends a tone from a WAV file as its voice (or captures a sound device),
// records what it receives (one "...-dec.wav" per call in recordingFolder())
// and is driven through its control connection. Its account is either direct
// (no registration) or registered at a KamailioFixture. Killed at destruction.
// Test thread only.
class BaresipFixture {
public:
    struct Options {
        std::string user = "alice";
        // Register at this registrar with `password` (null: direct account).
        const KamailioFixture* registrar = nullptr;
        std::string password;
        std::string transport = "udp";  // "udp" or "tcp"
        bool autoAnswer = true;
        // The voice: a sine of this frequency, 8 kHz mono 16-bit, 120 s long
        // (the call ends when the file does). Sound::File only.
        double toneHz = 697.0;
        // Its peak, a share of full scale (0.5 is -6 dBFS). Sound::File only.
        double toneAmplitude = 0.5;

        enum class Sound {
            // The tone file as the voice, received audio dropped: no sound
            // device, so the cheapest a call can be.
            File,
            // Real sound devices of a PulseAudio server through ALSA's
            // "pulse" device: the voice is captured from `pulseSource`,
            // received audio played into `pulseSink`, as a softphone does.
            PulseAudio,
        };
        Sound sound = Sound::File;
        // Sound::PulseAudio: the server ("unix:<socket>"), a sink and a source of it.
        std::string pulseServer;
        std::string pulseSink;
        std::string pulseSource;
        // The account's media encryption (baresip's "mediaenc", e.g.
        // "srtp-mand": SRTP with SDES keys, RTP/SAVP); empty: plain RTP.
        std::string mediaEncryption;
    };

    // Started and ready (control connection open; registered when a
    // registrar is given) or throws std::runtime_error.
    explicit BaresipFixture(const Options& options);
    ~BaresipFixture();

    BaresipFixture(const BaresipFixture&) = delete;
    BaresipFixture& operator=(const BaresipFixture&) = delete;

    std::uint16_t sipPort() const { return sipPort_; }
    // The account's own address: at the registrar when there is one, else
    // "sip:<user>@127.0.0.1:<sipPort>".
    std::string uri() const;
    // Where it is reached directly: "sip:<user>@127.0.0.1:<sipPort>".
    std::string contactUri() const;

    BaresipControl& control() { return *control_; }
    void dial(const std::string& uri);
    void hangup();
    void accept();
    void hold();
    void resume();
    void sendDtmf(const std::string& digits);
    void transfer(const std::string& uri);
    std::optional<BaresipEvent> waitForEvent(const std::string& type,
                                             std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

    const std::string& recordingFolder() const { return recordings_; }
    // The recordings of received audio, oldest first.
    std::vector<std::string> receivedRecordings() const;
    // How often the agent set up its received audio anew after the start of
    // a call (a hold, a change of codec): this version records what it
    // receives only until then, so the recordings end early.
    int receivedAudioResets() const;
    std::string log() const;
    pid_t pid() const { return process_->pid(); }
    // Ends it at once with SIGKILL: no BYE, no more RTP or RTCP.
    void kill();

private:
    Options options_;
    TempDir dir_;
    std::string recordings_;
    std::uint16_t sipPort_ = 0;
    std::uint16_t controlPort_ = 0;
    std::unique_ptr<ChildProcess> process_;
    std::unique_ptr<BaresipControl> control_;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
