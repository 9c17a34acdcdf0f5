#include "support/EngineProcess.h"

#include <csignal>
#include <thread>

#include "support/TempDir.h"
#include "support/ThreadDump.h"

namespace Tarvent::VirtualChannel::TestSupport {

EngineProcess::EngineProcess(const std::string& binary, const std::string& programData,
                             const std::vector<std::string>& env, Streams streams)
    : EngineProcess(streams == Streams::Closed
                        // The shell closes them and becomes the engine (same process).
                        ? std::vector<std::string>{"/bin/sh", "-c", "exec \"$0\" <&- >&- 2>&-", binary}
                        : std::vector<std::string>{binary},
                    programData, env)
{
}

EngineProcess::EngineProcess(const std::vector<std::string>& argv, const std::string& programData,
                             const std::vector<std::string>& env)
    : programData_(programData)
{
    std::vector<std::string> fullEnv{"OVRA_PROGRAM_DATA=" + programData};
    fullEnv.insert(fullEnv.end(), env.begin(), env.end());
    process_ = std::make_unique<ChildProcess>(argv, consoleLog(), fullEnv);
    ThreadDump::watch(process_->pid(), "the engine");
}

EngineProcess::~EngineProcess()
{
    process_->signal(SIGTERM);
    if (!process_->waitFor(kStopGrace)) {
        dumpThreads("it did not end within " + std::to_string(kStopGrace.count()) + " s of SIGTERM");
    }
    ThreadDump::unwatch(process_->pid());
    process_->stop(std::chrono::seconds(1));
}

void EngineProcess::dumpThreads(const std::string& why)
{
    if (!process_->running() || threadDumps_ >= kMaxThreadDumps) {
        return;
    }
    ++threadDumps_;
    ThreadDump::print(process_->pid(), "the engine", why);
}

std::optional<int> EngineProcess::waitForPort(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        // The file is renamed into place whole: any content is the port.
        const std::string text = TempDir::readFile(portFile());
        if (!text.empty()) {
            return std::stoi(text);
        }
        if (!process_->running()) {
            return std::nullopt;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            dumpThreads("no port file after " + std::to_string(timeout.count()) + " ms");
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::string EngineProcess::portFile(const std::string& programData)
{
    return programData +
           "/TARVENT/registry/HKEY_LOCAL_MACHINE/Software/Citrix/ICA Client/Engine/Configuration/Advanced/Modules/"
           "VDOVRA/Port";
}

std::string EngineProcess::portFile() const
{
    return portFile(programData_);
}

std::string EngineProcess::workingDirectory() const
{
    return programData_ + "/TARVENT/OVRA";
}

std::string EngineProcess::logFile() const
{
    return workingDirectory() + "/log/ovra.log";
}

std::string EngineProcess::consoleLog() const
{
    return programData_ + "/console.log";
}

std::string EngineProcess::log() const
{
    return TempDir::readFile(logFile());
}

std::string EngineProcess::console() const
{
    return TempDir::readFile(consoleLog());
}

}  // namespace Tarvent::VirtualChannel::TestSupport
