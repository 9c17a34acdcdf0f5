#include "support/EngineProcess.h"

#include <thread>

#include "support/TempDir.h"

namespace Tarvent::VirtualChannel::TestSupport {

EngineProcess::EngineProcess(const std::string& binary, const std::string& programData,
                             const std::vector<std::string>& env)
    : programData_(programData)
{
    std::vector<std::string> fullEnv{"OVRA_PROGRAM_DATA=" + programData};
    fullEnv.insert(fullEnv.end(), env.begin(), env.end());
    process_ = std::make_unique<ChildProcess>(std::vector<std::string>{binary}, consoleLog(), fullEnv);
}

EngineProcess::~EngineProcess()
{
    process_->stop(std::chrono::seconds(10));
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
        if (!process_->running() || std::chrono::steady_clock::now() >= deadline) {
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
