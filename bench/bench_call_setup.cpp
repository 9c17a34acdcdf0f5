// Call set-up time (dial to confirmed) of the engine against a far end
// through a registrar that challenges the INVITE, measured in the same run
// as the far-end agent calling another instance of itself through the same
// registrar; and the CPU the engine's process spends per active PCMU call
// against the far-end agent's per call leg.
// Goals: set-up at most 1.5x the agent's; CPU per call at most 1.5x the agent's.
// Runs itself inside a loopback-only network namespace (scripts/in-netns).
// OVRA_BENCH_CALLS sets the number of calls measured (default 20),
// OVRA_BENCH_CPU_SECONDS the CPU measurement (default 10); OVRA_BENCH_NO_EC
// switches the engine's echo canceller off.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <linphone++/linphone.hh>

#include "sip/AccountData.h"
#include "sip/ISipAccountCallback.h"
#include "sip/ISipCallCallback.h"
#include "sip/SipAccount.h"
#include "sip/SipCall.h"
#include "sip/SipError.h"
#include "sip/SipStack.h"
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

const std::map<std::string, std::string> kUsers{{"alice", "alicepw"}, {"bob", "bobpw"}, {"carol", "carolpw"}};

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

// The far-end agents started by this process.
std::vector<pid_t> childAgents()
{
    std::vector<pid_t> pids;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return pids;
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
        if (name == "baresip" && parent == getpid()) {
            pids.push_back(pid);
        }
    }
    closedir(proc);
    return pids;
}

// CPU share of one core spent by `cpu` over `seconds`.
template <class F>
double cpuShare(F&& cpu, int seconds)
{
    const double before = cpu();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return (cpu() - before) / seconds * 100.0;
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

int run()
{
    const int calls = envInt("OVRA_BENCH_CALLS", 20);
    const int cpuSeconds = envInt("OVRA_BENCH_CPU_SECONDS", 10);

    TestSupport::PulseAudioFixture pulse;  // sound devices before the first Core
    KamailioFixture kamailio(kUsers, "127.0.0.1", 5060);
    BaresipFixture bob(agent("bob", kamailio));
    BaresipFixture carol(agent("carol", kamailio));

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

    // CPU of the two agents (one call leg each) with one call up.
    const std::vector<pid_t> agents = childAgents();
    double agentLegCpu = 0;
    if (!agents.empty()) {
        carol.dial(bob.uri());
        carol.waitForEvent("CALL_ESTABLISHED", 10s);
        agentLegCpu = cpuShare(
                          [&] {
                              double total = 0;
                              for (const pid_t pid : agents) {
                                  total += processCpuSeconds(pid);
                              }
                              return total;
                          },
                          cpuSeconds) /
                      static_cast<double>(agents.size());
        carol.hangup();
        carol.waitForEvent("CALL_CLOSED", 10s);
        bob.waitForEvent("CALL_CLOSED", 10s);
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
    const double engineIdleCpu = cpuShare(selfCpuSeconds, cpuSeconds);

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

    const std::shared_ptr<SipCall> call = account->createCall("bob");
    call->dial();
    events.waitFor("confirmed", call.get(), 10s);
    std::this_thread::sleep_for(1s);
    const double engineCallCpu = cpuShare(selfCpuSeconds, cpuSeconds) - engineIdleCpu;
    call->hangup();
    events.waitFor("terminated", call.get(), 10s);
    account->removeCall(call);
    account->shutdown();
    account.reset();
    stack.stop();

    const double agentMedian = median(agentSetup);
    const double engineMedian = median(engineSetup);
    std::printf("call set-up, dial to confirmed, INVITE challenged (median of %d):\n", calls);
    std::printf("  far-end agent to agent: %8.1f ms\n", agentMedian);
    std::printf("  engine to agent:        %8.1f ms  (%.2fx; goal at most 1.5x)\n", engineMedian,
                agentMedian > 0 ? engineMedian / agentMedian : 0.0);
    std::printf("CPU per active PCMU call (%d s, %% of one core):\n", cpuSeconds);
    std::printf("  far-end agent, per call leg: %6.2f %%\n", agentLegCpu);
    std::printf("  engine, idle:                %6.2f %%\n", engineIdleCpu);
    std::printf("  engine, per call:            %6.2f %%  (%.2fx; goal at most 1.5x; echo cancellation %s)\n",
                engineCallCpu,
                agentLegCpu > 0 ? engineCallCpu / agentLegCpu : 0.0, echoCancellation ? "on" : "off");
    return 0;
}

}  // namespace
}  // namespace Tarvent::VirtualChannel

int main(int argc, char** argv)
{
    // Kamailio on 5060 and the agents need a network of their own.
    if (std::getenv("OVRA_IN_NETNS") == nullptr) {
        std::vector<char*> args;
        std::string script = std::string(OVRA_SOURCE_DIR) + "/scripts/in-netns";
        args.push_back(script.data());
        for (int i = 0; i < argc; ++i) {
            args.push_back(argv[i]);
        }
        args.push_back(nullptr);
        execv(script.c_str(), args.data());
        std::perror("in-netns");
        return 1;
    }
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
