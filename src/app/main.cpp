#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>

#include "app/EarlyListener.h"
#include "app/EngineModule.h"
#include "app/LaunchFailure.h"
#include "app/ServiceCommandLine.h"
#include "platform/ProcessPaths.h"
#include "platform/Socket.h"
#include "platform/StandardDescriptors.h"
#include "platform/StopSignalWatcher.h"
#include "util/MakeString.h"

int main(int argc, char* argv[])
{
    using namespace Tarvent::VirtualChannel;
    // Before anything opens a descriptor: a closed stdin would hand its
    // number to the listener, and a library that closes descriptor 0 would
    // then close the listener.
    keepStandardDescriptorsOpen();
    const ServiceCommandLine::Option option = ServiceCommandLine::option(argc, argv);
    if (option == ServiceCommandLine::Option::Help) {
        return ServiceCommandLine::printHelp(stdout);
    }
    const bool service = option == ServiceCommandLine::Option::Service;
    // From the first moment a client can learn of the engine, a stop signal
    // waits for the engine's orderly stop instead of ending the process.
    if (service) {
        StopSignalWatcher::blockStopSignals();
    }
    Socket listening = service ? openEarlyListener() : Socket();
    const int publishedPort = listening.valid() ? listening.localPort() : -1;
    try {
        std::string folder;
        if (const int error = executablePath(folder); error != 0) {
            throw std::runtime_error(makeString("Failed to find the executable's folder: errno=", error));
        }
        folder.erase(folder.rfind('/') + 1);
        const EngineModule module = EngineModule::load(folder + kEngineModuleFile);
        return module.entry()(argc, argv, listening.release());
    } catch (const std::exception& e) {
        if (service) {
            return reportLaunchFailure(e.what(), publishedPort, stderr);
        }
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
