#pragma once

#include <cstdio>
#include <string>

namespace Tarvent::VirtualChannel {

// Reports a service start that failed before the engine existed (its module
// missing or not loadable): withdraws the port the executable published for
// its listener (`publishedPort`, -1 for none), so that no client is sent to a
// socket nobody will serve, and writes "Failed to start application: <reason>"
// into the engine's log (the working directory and its log folder are created
// when missing; a log that cannot be written is skipped) and to `errorOutput`.
// Returns the process exit code, 1. Main thread, before any other thread.
int reportLaunchFailure(const std::string& reason, int publishedPort, std::FILE* errorOutput);

}  // namespace Tarvent::VirtualChannel
