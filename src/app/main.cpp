#include <cstdio>
#include <exception>
#include <string>

#include "app/EarlyListener.h"
#include "app/EngineModule.h"
#include "platform/ProcessPaths.h"
#include "platform/Socket.h"

int main(int argc, char* argv[])
{
    using namespace Tarvent::VirtualChannel;
    // Only the service run listens; "/i", "/u" and "/?" go straight to the engine.
    Socket listening = argc < 2 ? openEarlyListener() : Socket();
    std::string folder;
    if (const int error = executablePath(folder); error != 0) {
        std::fprintf(stderr, "Failed to find the executable's folder: errno=%d\n", error);
        return 1;
    }
    folder.erase(folder.rfind('/') + 1);
    try {
        const EngineModule module = EngineModule::load(folder + kEngineModuleFile);
        return module.entry()(argc, argv, listening.release());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
