#include "NetnsReexec.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

namespace Tarvent::VirtualChannel {

void runInOwnNetwork(int argc, char** argv)
{
    if (std::getenv("OVRA_IN_NETNS") != nullptr) {
        return;
    }
    std::string script = std::string(OVRA_SOURCE_DIR) + "/scripts/in-netns";
    std::vector<char*> args;
    args.push_back(script.data());
    for (int i = 0; i < argc; ++i) {
        args.push_back(argv[i]);
    }
    args.push_back(nullptr);
    execv(script.c_str(), args.data());
    std::perror("in-netns");
    std::exit(1);
}

int runBenchInOwnNetwork(int argc, char** argv, const char* name, int (*bench)())
{
    runInOwnNetwork(argc, argv);
    try {
        return bench();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s failed: %s\n", name, error.what());
        return 1;
    }
}

}  // namespace Tarvent::VirtualChannel
