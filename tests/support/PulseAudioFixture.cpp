#include "support/PulseAudioFixture.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace Tarvent::VirtualChannel::TestSupport {

namespace {

using namespace std::chrono_literals;

// device.description="Headset\ Speaker": the module argument parser and the
// property list parser each take one level of quoting.
std::string quotedDescription(const std::string& description)
{
    std::string out = "device.description=\"";
    for (const char c : description) {
        if (c == '"' || c == '\\' || c == ' ') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path);
    out << text;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

}  // namespace

PulseAudioFixture::PulseAudioFixture(bool standardDevices) : dir_("ovra-pulse")
{
    const std::string home = dir_.makeDir("home");
    const std::string runtime = dir_.makeDir("runtime");
    const std::string config = dir_.makeDir("config");
    const std::string state = dir_.makeDir("state");
    dir_.makeDir("config/pulse");
    const std::string clientConf = dir_.file("config/pulse/client.conf");
    writeFile(clientConf, "autospawn = no\n");
    const std::string socket = runtime + "/native";
    server_ = "unix:" + socket;
    writeFile(dir_.file("server.pa"),
              "load-module module-native-protocol-unix auth-anonymous=1 socket=" + socket + "\n");

    daemonEnv_ = {"HOME=" + home,
                  "XDG_RUNTIME_DIR=" + runtime,
                  "XDG_CONFIG_HOME=" + config,
                  "PULSE_RUNTIME_PATH=" + runtime,
                  "PULSE_STATE_PATH=" + state,
                  "PULSE_SERVER=" + server_,
                  "PULSE_CLIENTCONFIG=" + clientConf};
    startDaemon();
    setEnvironment();
    if (standardDevices) {
        addStandardDevices();
    }
}

void PulseAudioFixture::startDaemon()
{
    // Run in the foreground as our child (not daemonized) so that it dies
    // with the test process even when a test crashes.
    daemon_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"pulseaudio", "-n", "-F", dir_.file("server.pa"), "--daemonize=no",
                                 "--use-pid-file=yes", "--exit-idle-time=-1", "--disallow-exit=yes",
                                 "--realtime=no", "--high-priority=no", "--log-target=stderr"},
        dir_.file("pulseaudio.log"), daemonEnv_);

    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        if (ChildProcess::run({"pactl", "info"}, 2s, daemonEnv_).status == 0) {
            break;
        }
        if (!daemon_->running() || std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("PulseAudio did not start; see " + dir_.file("pulseaudio.log"));
        }
        std::this_thread::sleep_for(10ms);
    }
}

void PulseAudioFixture::addStandardDevices()
{
    addSink("headset_speaker", "Headset Speaker");
    addSink("desk_speaker", "Desk Speaker");
    addSineSource("headset_microphone", "Headset Microphone", 1000);
}

void PulseAudioFixture::kill()
{
    daemon_->signal(SIGKILL);
    daemon_->waitFor(10s);
    daemon_.reset();
    feeders_.clear();
}

void PulseAudioFixture::restart(bool standardDevices)
{
    if (daemon_) {
        kill();
    }
    startDaemon();
    if (standardDevices) {
        addStandardDevices();
    }
}

PulseAudioFixture::~PulseAudioFixture()
{
    if (daemon_) {
        daemon_->stop(3s);
    }
    restoreEnvironment();
}

void PulseAudioFixture::setEnvironment()
{
    for (const auto& entry : daemonEnv_) {
        const std::string name = entry.substr(0, entry.find('='));
        if (name == "HOME" || name == "XDG_CONFIG_HOME") {
            continue;  // the test's own home stays
        }
        const char* old = std::getenv(name.c_str());
        savedEnv_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        ::setenv(name.c_str(), entry.c_str() + name.size() + 1, 1);
    }
}

void PulseAudioFixture::restoreEnvironment()
{
    for (const auto& [name, value] : savedEnv_) {
        if (value) {
            ::setenv(name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }
}

std::string PulseAudioFixture::pactl(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{"pactl"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto result = ChildProcess::run(argv, 10s, daemonEnv_);
    if (result.status != 0) {
        throw std::runtime_error("pactl failed (" + std::to_string(result.status) + "): " + result.output);
    }
    return result.output;
}

int PulseAudioFixture::loadModule(const std::vector<std::string>& args)
{
    std::vector<std::string> full{"load-module"};
    full.insert(full.end(), args.begin(), args.end());
    return std::stoi(pactl(full));
}

int PulseAudioFixture::addSink(const std::string& name, const std::string& description)
{
    return loadModule({"module-null-sink", "sink_name=" + name, "rate=48000",
                       "sink_properties=" + quotedDescription(description)});
}

int PulseAudioFixture::addSilentSource(const std::string& name, const std::string& description)
{
    return loadModule({"module-null-source", "source_name=" + name,
                       "source_properties=" + quotedDescription(description)});
}

int PulseAudioFixture::addSineSource(const std::string& name, const std::string& description, int frequencyHz)
{
    return loadModule({"module-sine-source", "source_name=" + name, "frequency=" + std::to_string(frequencyHz),
                       "source_properties=" + quotedDescription(description)});
}

int PulseAudioFixture::addFedSource(const std::string& name, const std::string& description)
{
    const int feeder = addSink(name + "_feed", description + " Feed");
    try {
        const int mic = loadModule({"module-remap-source", "master=" + name + "_feed.monitor", "source_name=" + name,
                                    "source_properties=" + quotedDescription(description)});
        feeders_[mic] = feeder;
        return mic;
    } catch (...) {
        removeDevice(feeder);
        throw;
    }
}

void PulseAudioFixture::removeDevice(int moduleIndex)
{
    pactl({"unload-module", std::to_string(moduleIndex)});
    const auto feeder = feeders_.find(moduleIndex);
    if (feeder != feeders_.end()) {
        const int feederIndex = feeder->second;
        feeders_.erase(feeder);
        pactl({"unload-module", std::to_string(feederIndex)});
    }
}

std::vector<std::string> PulseAudioFixture::shortList(const std::string& what)
{
    std::istringstream lines(pactl({"list", "short", what}));
    std::vector<std::string> names;
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string index;
        std::string name;
        if (fields >> index >> name) {
            names.push_back(name);
        }
    }
    return names;
}

std::vector<std::string> PulseAudioFixture::sinkNames()
{
    return shortList("sinks");
}

std::vector<std::string> PulseAudioFixture::sourceNames()
{
    return shortList("sources");
}

std::unique_ptr<ChildProcess> PulseAudioFixture::play(const std::string& sink, const std::string& wavFile)
{
    return std::make_unique<ChildProcess>(std::vector<std::string>{"paplay", "-d", sink, wavFile},
                                          dir_.file("paplay.log"), daemonEnv_);
}

std::vector<std::int16_t> PulseAudioFixture::captureSink(const std::string& sink, std::chrono::milliseconds duration)
{
    return captureSource(sink + ".monitor", duration);
}

std::vector<std::int16_t> PulseAudioFixture::captureSource(const std::string& source,
                                                           std::chrono::milliseconds duration)
{
    const std::unique_ptr<Recording> recording = record(source);
    std::this_thread::sleep_for(duration);  // recording for a fixed span is the point here
    return recording->stop();
}

std::unique_ptr<PulseAudioFixture::Recording> PulseAudioFixture::recordSink(const std::string& sink)
{
    return record(sink + ".monitor");
}

std::unique_ptr<PulseAudioFixture::Recording> PulseAudioFixture::record(const std::string& source)
{
    const std::string file = dir_.file("capture" + std::to_string(++captures_) + ".raw");
    auto process = std::make_unique<ChildProcess>(
        std::vector<std::string>{"parec", "-d", source, "--raw", "--format=s16le", "--rate=8000", "--channels=1",
                                 "--latency-msec=20", file},
        dir_.file("parec.log"), daemonEnv_);
    return std::unique_ptr<Recording>(new Recording(std::move(process), file));
}

PulseAudioFixture::Recording::Recording(std::unique_ptr<ChildProcess> process, std::string file)
    : process_(std::move(process)), file_(std::move(file))
{
}

PulseAudioFixture::Recording::~Recording() = default;

std::uintmax_t PulseAudioFixture::Recording::size() const
{
    std::error_code error;
    const auto size = std::filesystem::file_size(file_, error);
    return error ? 0 : size;
}

bool PulseAudioFixture::Recording::waitForData(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (size() > 0) {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
}

std::vector<std::int16_t> PulseAudioFixture::Recording::stop()
{
    if (process_) {
        process_->stop(3s);
        process_.reset();
    }
    const std::string bytes = TempDir::readFile(file_);
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto lo = static_cast<unsigned char>(bytes[2 * i]);
        const auto hi = static_cast<unsigned char>(bytes[2 * i + 1]);
        samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8)));
    }
    return samples;
}

}  // namespace Tarvent::VirtualChannel::TestSupport
