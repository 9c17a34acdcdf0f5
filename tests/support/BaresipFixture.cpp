#include "support/BaresipFixture.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "support/KamailioFixture.h"
#include "support/PortPicker.h"
#include "support/WavFile.h"

namespace Tarvent::VirtualChannel::TestSupport {

namespace {

using namespace std::chrono_literals;

// Where the agent's voice comes from and its received audio goes.
struct SoundSetup {
    std::string source;  // "audio_source" of the config
    std::string player;  // "audio_player" and "audio_alert"
    std::string module;
    std::vector<std::string> environment;
};

SoundSetup soundSetup(const BaresipFixture::Options& options, const TempDir& dir, std::uint16_t sipPort)
{
    if (options.sound == BaresipFixture::Options::Sound::PulseAudio) {
        // ALSA's "pulse" device takes the PulseAudio device as its argument
        // and finds the server through PULSE_SERVER.
        if (options.pulseServer.empty() || options.pulseSink.empty() || options.pulseSource.empty()) {
            throw std::invalid_argument("baresip with PulseAudio needs a server, a sink and a source");
        }
        // An empty PULSE_LATENCY_MSEC is ignored by the client library: the
        // agent keeps its own buffers whatever the engine's process sets.
        return {"alsa,pulse:" + options.pulseSource, "alsa,pulse:" + options.pulseSink, "alsa.so",
                {"PULSE_SERVER=" + options.pulseServer, "PULSE_LATENCY_MSEC="}};
    }
    const std::string voice = dir.file("voice.wav");
    WavFile::makeTone(voice, 8000, options.toneHz, 120.0, options.toneAmplitude);
    return {"aufile," + voice, "aubridge,null-" + options.user + std::to_string(sipPort), "aubridge.so", {}};
}

}  // namespace

BaresipFixture::BaresipFixture(const Options& options) : options_(options), dir_("ovra-baresip")
{
    recordings_ = dir_.makeDir("recordings");
    sipPort_ = PortPicker::freePorts(2);  // TLS takes the next port
    controlPort_ = PortPicker::freePorts(1);
    const SoundSetup sound = soundSetup(options, dir_, sipPort_);

    std::ofstream config(dir_.file("config"));
    config << "poll_method epoll\n"
           << "sip_listen 127.0.0.1:" << sipPort_ << "\n"
           << "net_interface 127.0.0.1\n"
           << "audio_source " << sound.source << "\n"
           << "audio_player " << sound.player << "\n"
           << "audio_alert " << sound.player << "\n"
           << "module_path /usr/lib/baresip/modules\n"
           << "module g711.so\n"
           << "module aufile.so\n"
           << "module " << sound.module << "\n"
           << "module sndfile.so\n"
           << (options.mediaEncryption.empty() ? "" : "module srtp.so\n")
           << "module_app account.so\n"
           << "module_app menu.so\n"
           << "module_app ctrl_tcp.so\n"
           << "ctrl_tcp_listen 127.0.0.1:" << controlPort_ << "\n"
           << "snd_path " << recordings_ << "\n";
    config.close();

    std::string account;
    const std::string transport = options.transport == "tcp" ? ";transport=tcp" : "";
    if (options.registrar != nullptr) {
        account = "<sip:" + options.user + "@" + options.registrar->hostPort() + transport + ">;auth_pass=" +
                  options.password + ";regint=300";
    } else {
        account = "<sip:" + options.user + "@127.0.0.1:" + std::to_string(sipPort_) + transport + ">;regint=0";
    }
    account += options.autoAnswer ? ";answermode=auto" : ";answermode=manual";
    if (!options.mediaEncryption.empty()) {
        account += ";mediaenc=" + options.mediaEncryption;
    }
    std::ofstream(dir_.file("accounts")) << account << "\n";

    process_ = std::make_unique<ChildProcess>(std::vector<std::string>{"baresip", "-f", dir_.path()},
                                              dir_.file("baresip.log"), sound.environment);
    try {
        control_ = std::make_unique<BaresipControl>(controlPort_, 10s);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string(e.what()) + "\n" + log());
    }
    if (options.registrar != nullptr && !options.registrar->waitForRegistration(options.user, 10s)) {
        throw std::runtime_error("baresip did not register " + options.user + "\n" + log());
    }
}

BaresipFixture::~BaresipFixture()
{
    control_.reset();
    process_->stop(3s);
}

void BaresipFixture::kill()
{
    process_->kill();
}

std::string BaresipFixture::uri() const
{
    if (options_.registrar != nullptr) {
        return "sip:" + options_.user + "@" + options_.registrar->hostPort();
    }
    return contactUri();
}

std::string BaresipFixture::contactUri() const
{
    return "sip:" + options_.user + "@127.0.0.1:" + std::to_string(sipPort_);
}

void BaresipFixture::dial(const std::string& uri)
{
    control_->command("dial", uri);
}

void BaresipFixture::hangup()
{
    control_->command("hangup");
}

void BaresipFixture::accept()
{
    control_->command("accept");
}

void BaresipFixture::hold()
{
    control_->command("hold");
}

void BaresipFixture::resume()
{
    control_->command("resume");
}

void BaresipFixture::sendDtmf(const std::string& digits)
{
    control_->command("sndcode", digits);
}

void BaresipFixture::transfer(const std::string& uri)
{
    control_->command("transfer", uri);
}

std::optional<BaresipEvent> BaresipFixture::waitForEvent(const std::string& type, std::chrono::milliseconds timeout)
{
    return control_->waitForEvent(type, timeout);
}

std::vector<std::string> BaresipFixture::receivedRecordings() const
{
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(recordings_)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 8 && name.compare(name.size() - 8, 8, "-dec.wav") == 0) {
            files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end());  // the names carry the time
    return files;
}

int BaresipFixture::receivedAudioResets() const
{
    // Each call starts a player and a recorder together; a reset of the
    // decoder starts only a new player.
    const auto count = [](const std::string& text, const std::string& what) {
        int found = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
            ++found;
        }
        return found;
    };
    const std::string text = log();
    return count(text, "audio: player started") - count(text, "sndfile: dumping decode audio");
}

std::string BaresipFixture::log() const
{
    return TempDir::readFile(dir_.file("baresip.log"));
}

}  // namespace Tarvent::VirtualChannel::TestSupport
