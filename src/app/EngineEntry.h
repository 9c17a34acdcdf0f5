#pragma once

namespace Tarvent::VirtualChannel {

// The engine proper lives in a module beside the executable. Loading it
// pulls in the SIP and media libraries, which takes the dynamic loader far
// longer than the client should wait for the listening port; the executable
// therefore opens the listener and publishes its port first, then loads the
// module and calls its entry point.
constexpr const char* kEngineModuleFile = "ovra_engine.so";
constexpr const char* kEngineEntrySymbol = "ovraEngineMain";

// Runs the engine's command line (service, "/i", "/u", "/?") and returns the
// process exit code. `listeningFd` is a loopback socket that listens already
// and whose port is published, or -1; the engine owns it from this call on.
using EngineEntry = int (*)(int argc, char* argv[], int listeningFd);

}  // namespace Tarvent::VirtualChannel

extern "C" int ovraEngineMain(int argc, char* argv[], int listeningFd);
