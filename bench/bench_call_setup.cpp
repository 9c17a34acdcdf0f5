// Call set-up time (dial to confirmed) of the engine against a far end
// through a registrar that challenges the INVITE, measured in the same run
// as the far-end agent calling another instance of itself through the same
// registrar; and the CPU the engine's process spends per active PCMU call
// against the far-end agent's per call leg.
// Goals: set-up at most 1.5x the agent's; CPU per call at most 1.5x the agent's.
// For a fair CPU comparison the agents measured there play and capture real
// sound devices of the same PulseAudio server as the engine (through ALSA's
// pulse device), and their call runs beside the engine's in the same
// measurement window, so that both see the same load of the machine. The
// figure of agents without sound devices (a tone file in, received audio
// dropped; they set up the calls timed here) is printed for comparison, and
// so is the sound server's share per call leg: spent on behalf of the engine
// or an agent, but in another process.
// Runs itself inside a loopback-only network namespace (scripts/in-netns).
// OVRA_BENCH_CALLS sets the number of calls measured (default 20),
// OVRA_BENCH_CPU_SECONDS the CPU measurement (default 10); OVRA_BENCH_NO_EC
// switches the engine's echo canceller off; OVRA_BENCH_DETAIL prints the
// engine's threads (CPU, wake-ups) and media filters during its call.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <linphone++/linphone.hh>
#include <linphone/core.h>
#include <mediastreamer2/msfactory.h>
#include <mediastreamer2/msfilter.h>

#include "sip/AccountData.h"
#include "sip/ISipAccountCallback.h"
#include "sip/ISipCallCallback.h"
#include "sip/SipAccount.h"
#include "sip/SipCall.h"
#include "sip/SipError.h"
#include "sip/SipStack.h"
#include "NetnsReexec.h"
#include "support/BaresipFixture.h"
#include "support/KamailioFixture.h"
#include "support/PulseAudioFixture.h"
#include "support/TempDir.h"

namespace Tarvent::VirtualChannel {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using TestSupport::BaresipFixture;
using TestSupport::KamailioFixture;

const std::map<std::string, std::string> kUsers{
    {"alice", "alicepw"}, {"bob", "bobpw"}, {"carol", "carolpw"}, {"dave", "davepw"}, {"erin", "erinpw"}};
// The voices of the agents with sound devices (their microphones' tones).
constexpr int kDaveToneHz = 697;
constexpr int kErinToneHz = 770;

int envInt(const char* name, int fallback)
{
    const char* value = std::getenv(name);
    return value != nullptr && std::atoi(value) > 0 ? std::atoi(value) : fallback;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Waits for the engine's call and registration events.
class Events : public ISipAccountCallback, public ISipCallCallback {
public:
    void onIncomingCall(std::shared_ptr<SipAccount>, std::shared_ptr<SipCall>, const char*) override {}
    void onRegState(std::shared_ptr<SipAccount>, bool isConnected, int, int) override { note(isConnected ? "reg" : "unreg", nullptr); }
    void onCallTerminated(std::shared_ptr<SipCall> call, int) override { note("terminated", call.get()); }
    void onCallConfirmed(std::shared_ptr<SipCall> call) override { note("confirmed", call.get()); }
    void onCallEarly(std::shared_ptr<SipCall>) override {}
    void onCallMediaState(std::shared_ptr<SipCall>, const SipCallMediaState&) override {}
    void onCallHoldStateChanged(std::shared_ptr<SipCall>, bool) override {}

    bool waitFor(const std::string& kind, const SipCall* call, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            for (auto it = seen_.begin(); it != seen_.end(); ++it) {
                if (it->first == kind && (call == nullptr || it->second == call)) {
                    seen_.erase(it);
                    return true;
                }
            }
            return false;
        });
    }

private:
    void note(const std::string& kind, const SipCall* call)
    {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            seen_.emplace_back(kind, call);
        }
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<std::string, const SipCall*>> seen_;
};

// CPU seconds (user + system) of a process, from the kernel's stat file.
double processCpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long utime = 0;
    unsigned long stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            utime = std::stoul(field);
        } else if (i == 15) {
            stime = std::stoul(field);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double selfCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The process called `wanted` that this process started (0 when there is none).
pid_t childProcess(const std::string& wanted)
{
    pid_t found = 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return found;
    }
    while (const dirent* entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0) {
            continue;
        }
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const std::size_t open = text.find('(');
        const std::size_t close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos) {
            continue;
        }
        const std::string name = text.substr(open + 1, close - open - 1);
        std::istringstream rest(text.substr(close + 2));
        std::string state;
        pid_t parent = 0;
        rest >> state >> parent;
        if (name == wanted && parent == getpid()) {
            found = pid;
            break;
        }
    }
    closedir(proc);
    return found;
}

using CpuClock = std::function<double()>;

CpuClock processClock(pid_t pid)
{
    return [pid] { return processCpuSeconds(pid); };
}

// CPU shares of one core spent by each of `clocks` over the same `seconds`.
std::vector<double> cpuShares(const std::vector<CpuClock>& clocks, int seconds)
{
    std::vector<double> before;
    for (const CpuClock& clock : clocks) {
        before.push_back(clock());
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    std::vector<double> shares;
    for (std::size_t i = 0; i < clocks.size(); ++i) {
        shares.push_back((clocks[i]() - before[i]) / seconds * 100.0);
    }
    return shares;
}

// Streams at the sound server: {playing, capturing}.
std::pair<int, int> soundStreams(TestSupport::PulseAudioFixture& pulse)
{
    const auto count = [&](const std::string& what) {
        const std::string list = pulse.pactl({"list", "short", what});
        return static_cast<int>(std::count(list.begin(), list.end(), '\n'));
    };
    return {count("sink-inputs"), count("source-outputs")};
}

// A call from one agent to another, up from construction to destruction.
class AgentCall {
public:
    AgentCall(BaresipFixture& caller, BaresipFixture& callee) : caller_(caller), callee_(callee)
    {
        caller_.dial(callee_.uri());
        if (!caller_.waitForEvent("CALL_ESTABLISHED", 10s)) {
            throw std::runtime_error("the agents' call was not established\n" + caller_.log());
        }
        std::this_thread::sleep_for(1s);  // the media settle, as for the engine's call
    }
    ~AgentCall()
    {
        caller_.hangup();
        caller_.waitForEvent("CALL_CLOSED", 10s);
        callee_.waitForEvent("CALL_CLOSED", 10s);
    }
    AgentCall(const AgentCall&) = delete;
    AgentCall& operator=(const AgentCall&) = delete;

private:
    BaresipFixture& caller_;
    BaresipFixture& callee_;
};

// CPU share per call leg of two agents with a call between them up.
double agentLegCpu(BaresipFixture& caller, BaresipFixture& callee, int seconds)
{
    const AgentCall call(caller, callee);
    const std::vector<double> shares = cpuShares({processClock(caller.pid()), processClock(callee.pid())}, seconds);
    return (shares[0] + shares[1]) / 2;
}

// Each thread of this process: its name, CPU seconds and how often it was
// scheduled (about its wake-ups).
struct ThreadUse {
    std::string name;
    double seconds = 0;
    long runs = 0;
};

std::map<std::string, ThreadUse> threadUse()
{
    std::map<std::string, ThreadUse> threads;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        return threads;
    }
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        const std::string folder = std::string("/proc/self/task/") + entry->d_name;
        ThreadUse& thread = threads[entry->d_name];
        std::ifstream comm(folder + "/comm");
        std::getline(comm, thread.name);
        std::ifstream schedstat(folder + "/schedstat");  // ns on the CPU, ns waiting, runs
        double nanoseconds = 0;
        double waiting = 0;
        schedstat >> nanoseconds >> waiting >> thread.runs;
        thread.seconds = nanoseconds / 1e9;
    }
    closedir(tasks);
    return threads;
}

void printThreadUse(const std::map<std::string, ThreadUse>& before, const std::map<std::string, ThreadUse>& after,
                    int seconds)
{
    for (const auto& [id, thread] : after) {
        const auto earlier = before.find(id);
        if (earlier == before.end()) {
            continue;
        }
        const double share = (thread.seconds - earlier->second.seconds) / seconds * 100.0;
        const double runs = static_cast<double>(thread.runs - earlier->second.runs) / seconds;
        if (share >= 0.05) {
            std::printf("    thread %-8s %-16s %5.2f %%  %5.0f wake-ups/s\n", id.c_str(), thread.name.c_str(), share,
                        runs);
        }
    }
}

// The media filters' processing time, counted from here on.
void startFilterStatistics(SipStack& stack)
{
    stack.runOnCore([](const std::shared_ptr<linphone::Core>& core) {
        MSFactory* const factory = linphone_core_get_ms_factory(core->cPtr());
        ms_factory_enable_statistics(factory, TRUE);
        ms_factory_reset_statistics(factory);
    });
}

void printFilterStatistics(SipStack& stack, int seconds)
{
    stack.runOnCore([seconds](const std::shared_ptr<linphone::Core>& core) {
        MSFactory* const factory = linphone_core_get_ms_factory(core->cPtr());
        for (const MSList* it = ms_factory_get_statistics(factory); it != nullptr; it = it->next) {
            const auto* const stats = static_cast<const MSFilterStats*>(it->data);
            const double share =
                stats->bp_elapsed.mean * static_cast<double>(stats->bp_elapsed.count) / 1e9 / seconds * 100.0;
            if (share >= 0.01) {
                std::printf("    filter %-27s %5.2f %%\n", stats->name, share);
            }
        }
    });
}

BaresipFixture::Options agent(const std::string& user, const KamailioFixture& registrar)
{
    BaresipFixture::Options options;
    options.user = user;
    options.registrar = &registrar;
    options.password = kUsers.at(user);
    options.autoAnswer = true;
    return options;
}

// An agent with a speaker and a microphone of its own at the sound server.
BaresipFixture::Options soundAgent(const std::string& user, const KamailioFixture& registrar,
                                   TestSupport::PulseAudioFixture& pulse, int toneHz)
{
    BaresipFixture::Options options = agent(user, registrar);
    options.sound = BaresipFixture::Options::Sound::PulseAudio;
    options.pulseServer = pulse.server();
    options.pulseSink = user + "_speaker";
    options.pulseSource = user + "_microphone";
    pulse.addSink(options.pulseSink, user + " Speaker");
    pulse.addSineSource(options.pulseSource, user + " Microphone", toneHz);
    return options;
}

int run()
{
    const int calls = envInt("OVRA_BENCH_CALLS", 20);
    const int cpuSeconds = envInt("OVRA_BENCH_CPU_SECONDS", 10);
    const bool detail = std::getenv("OVRA_BENCH_DETAIL") != nullptr;

    TestSupport::PulseAudioFixture pulse;  // sound devices before the first Core
    const CpuClock soundServer = processClock(childProcess("pulseaudio"));
    KamailioFixture kamailio(kUsers, "127.0.0.1", 5060);
    BaresipFixture bob(agent("bob", kamailio));
    BaresipFixture carol(agent("carol", kamailio));
    BaresipFixture dave(soundAgent("dave", kamailio, pulse, kDaveToneHz));
    BaresipFixture erin(soundAgent("erin", kamailio, pulse, kErinToneHz));

    // The agent calling the agent through the registrar.
    std::vector<double> agentSetup;
    for (int i = 0; i < calls; ++i) {
        const Clock::time_point start = Clock::now();
        carol.dial(bob.uri());
        if (!carol.waitForEvent("CALL_ESTABLISHED", 10s)) {
            std::fprintf(stderr, "the agent's call %d was not established\n", i);
            return 1;
        }
        agentSetup.push_back(millisecondsSince(start));
        carol.hangup();
        carol.waitForEvent("CALL_CLOSED", 10s);
        bob.waitForEvent("CALL_CLOSED", 10s);
    }
    const double fileAgentLegCpu = agentLegCpu(carol, bob, cpuSeconds);

    // The sound server alone, then with the agents' call.
    const double serverIdleCpu = cpuShares({soundServer}, cpuSeconds)[0];
    double serverAgentLegCpu = 0;
    {
        const AgentCall call(erin, dave);
        const std::pair<int, int> streams = soundStreams(pulse);
        if (streams.first < 2 || streams.second < 2) {
            std::fprintf(stderr, "the agents' call did not reach the sound server (%d playing, %d capturing)\n%s\n",
                         streams.first, streams.second, dave.log().c_str());
            return 1;
        }
        serverAgentLegCpu = (cpuShares({soundServer}, cpuSeconds)[0] - serverIdleCpu) / 2;
    }

    TestSupport::TempDir folder("ovra-bench-call");
    SipStack& stack = SipStack::getInstance();
    stack.setWorkingDirectory(folder.path());
    stack.start(false, "ovra-bench", false, false);
    stack.setCodecPriority("PCMU/8000/1", 255);
    const bool echoCancellation = std::getenv("OVRA_BENCH_NO_EC") == nullptr;
    if (!echoCancellation) {
        // To see what the echo canceller costs.
        stack.runOnCore([](const std::shared_ptr<linphone::Core>& core) { core->enableEchoCancellation(false); });
    }
    Events events;
    AccountData data;
    data.username = "alice";
    data.realm = "127.0.0.1";
    data.password = kUsers.at("alice");
    std::shared_ptr<SipAccount> account = SipAccount::create(&events, &events, data);
    if (!events.waitFor("reg", nullptr, 10s)) {
        std::fprintf(stderr, "the engine did not register\n%s\n", kamailio.log().c_str());
        return 1;
    }
    const double engineIdleCpu = cpuShares({selfCpuSeconds}, cpuSeconds)[0];

    std::vector<double> engineSetup;
    for (int i = 0; i < calls; ++i) {
        const std::shared_ptr<SipCall> call = account->createCall("bob");
        const Clock::time_point start = Clock::now();
        call->dial();
        if (!events.waitFor("confirmed", call.get(), 10s)) {
            std::fprintf(stderr, "the engine's call %d was not confirmed\n", i);
            return 1;
        }
        engineSetup.push_back(millisecondsSince(start));
        call->hangup();
        events.waitFor("terminated", call.get(), 10s);
        bob.waitForEvent("CALL_CLOSED", 10s);
        account->removeCall(call);
    }

    // The engine's call (to the agent without sound devices, so that the
    // sound server carries the engine's streams and the other agents' only)
    // and the agents' call with sound devices, measured together.
    const std::shared_ptr<SipCall> call = account->createCall("bob");
    call->dial();
    if (!events.waitFor("confirmed", call.get(), 10s)) {
        std::fprintf(stderr, "the engine's call for the CPU measurement was not confirmed\n");
        return 1;
    }
    std::vector<double> shares;
    std::pair<int, int> streams;
    {
        const AgentCall agentCall(erin, dave);
        streams = soundStreams(pulse);
        if (detail) {
            startFilterStatistics(stack);
        }
        const std::map<std::string, ThreadUse> threadsBefore = threadUse();
        shares = cpuShares({selfCpuSeconds, processClock(erin.pid()), processClock(dave.pid()), soundServer},
                           cpuSeconds);
        if (detail) {
            std::printf("the engine during its call:\n");
            printThreadUse(threadsBefore, threadUse(), cpuSeconds);
            printFilterStatistics(stack, cpuSeconds);
        }
    }
    call->hangup();
    events.waitFor("terminated", call.get(), 10s);
    account->removeCall(call);
    account->shutdown();
    account.reset();
    stack.stop();

    const double engineCallCpu = shares[0] - engineIdleCpu;
    const double agentCpu = (shares[1] + shares[2]) / 2;
    const double serverEngineCpu = shares[3] - serverIdleCpu - 2 * serverAgentLegCpu;
    const double agentMedian = median(agentSetup);
    const double engineMedian = median(engineSetup);
    std::printf("call set-up, dial to confirmed, INVITE challenged (median of %d):\n", calls);
    std::printf("  far-end agent to agent: %8.1f ms\n", agentMedian);
    std::printf("  engine to agent:        %8.1f ms  (%.2fx; goal at most 1.5x)\n", engineMedian,
                agentMedian > 0 ? engineMedian / agentMedian : 0.0);
    std::printf("CPU per active PCMU call (%d s, %% of one core):\n", cpuSeconds);
    std::printf("  far-end agent, per call leg:     %6.2f %%  (sound devices, beside the engine's call)\n", agentCpu);
    std::printf("  far-end agent, no sound device:  %6.2f %%  (tone file in, received audio dropped)\n",
                fileAgentLegCpu);
    std::printf("  engine, idle:                    %6.2f %%\n", engineIdleCpu);
    std::printf("  engine, per call:                %6.2f %%  (%.2fx; goal at most 1.5x; echo cancellation %s)\n",
                engineCallCpu, agentCpu > 0 ? engineCallCpu / agentCpu : 0.0, echoCancellation ? "on" : "off");
    std::printf("  sound server, per agent leg:     %6.2f %%\n", serverAgentLegCpu);
    std::printf("  sound server, per engine call:   %6.2f %%  (%d playing, %d capturing with the agents')\n",
                serverEngineCpu, streams.first, streams.second);
    return 0;
}

}  // namespace
}  // namespace Tarvent::VirtualChannel

int main(int argc, char** argv)
{
    Tarvent::VirtualChannel::runInOwnNetwork(argc, argv);
    // As the engine's entry does, while this is the only thread.
    Tarvent::VirtualChannel::SipStack::applyProcessDefaults();
    try {
        return Tarvent::VirtualChannel::run();
    } catch (const Tarvent::VirtualChannel::SipError& error) {
        std::fprintf(stderr, "bench_call_setup failed: %s\n", error.info().c_str());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_call_setup failed: %s\n", error.what());
        return 1;
    }
}
