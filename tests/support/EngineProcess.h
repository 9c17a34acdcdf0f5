#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace Tarvent::VirtualChannel::TestSupport {

// The real engine executable as a child process, with its program data in a
// folder of the test's; it inherits the test's environment (a PulseAudio
// fixture's server included). Test thread only.
class EngineProcess {
public:
    // How the engine's standard input, output and error are set up.
    enum class Streams {
        Console,  // stdin at /dev/null, the rest to "<programData>/console.log"
        Closed,   // all three closed, as a careless starter might leave them
    };

    // Starts `binary` with OVRA_PROGRAM_DATA=`programData` plus `env`.
    EngineProcess(const std::string& binary, const std::string& programData,
                  const std::vector<std::string>& env = {}, Streams streams = Streams::Console);
    // The same with a command line that runs the engine (through a wrapper
    // such as prlimit that ends by executing it, so that signals reach it).
    EngineProcess(const std::vector<std::string>& argv, const std::string& programData,
                  const std::vector<std::string>& env = {});
    // SIGTERM, then SIGKILL after a grace period, if still running (its
    // threads' stacks go to stderr before the kill).
    ~EngineProcess();

    EngineProcess(const EngineProcess&) = delete;
    EngineProcess& operator=(const EngineProcess&) = delete;

    // The listening port once the port file holds it, or nothing when the
    // engine ended or `timeout` passed first.
    std::optional<int> waitForPort(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    ChildProcess& process() { return *process_; }

    // Where the engine keeps its things.
    std::string portFile() const;
    std::string workingDirectory() const;
    std::string logFile() const;
    std::string consoleLog() const;
    // The whole log and console output, for failure messages.
    std::string log() const;
    std::string console() const;

    static std::string portFile(const std::string& programData);

    // Writes every thread's stack of the running engine to stderr (see
    // ThreadDump), naming `why`; at most kMaxThreadDumps times per engine, so
    // that a test whose waits all time out stays readable.
    void dumpThreads(const std::string& why);
    static constexpr int kMaxThreadDumps = 3;
    static constexpr std::chrono::seconds kStopGrace{10};

private:
    const std::string programData_;
    std::unique_ptr<ChildProcess> process_;
    int threadDumps_ = 0;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
