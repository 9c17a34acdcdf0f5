#pragma once

#include <string>

namespace Tarvent::VirtualChannel {

// The folder that stands in for the machine-wide program data folder: the
// value of OVRA_PROGRAM_DATA when it is set and not empty, else the folder
// fixed at build time (/var/lib unless configured otherwise). Reads the
// environment on every call; any thread, as long as nobody changes the
// environment meanwhile.
std::string programDataFolder();

// The full path of the running executable into `path`. Returns 0, or the
// errno that kept it from being found. Any thread.
int executablePath(std::string& path);

}  // namespace Tarvent::VirtualChannel
