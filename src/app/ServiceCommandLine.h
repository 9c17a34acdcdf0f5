#pragma once

#include <cstdio>

namespace Tarvent::VirtualChannel {

class IServiceApplication;

// The process's command line: "/?" prints the help, "/i" installs the
// service, "/u" uninstalls it (matched in any letter case; only the first
// argument counts); anything else runs `application` as a service in the
// foreground. `application` must outlive the call. Main thread only, before
// any other thread is started.
class ServiceCommandLine {
public:
    enum class Option { Help, Install, Uninstall, Service };

    ServiceCommandLine(IServiceApplication& application, std::FILE* output, std::FILE* errorOutput);

    // What the command line asks for.
    static Option option(int argc, const char* const argv[]);
    // Prints the options to `output`; returns the exit code (0).
    static int printHelp(std::FILE* output);

    // Returns the process exit code.
    int run(int argc, const char* const argv[]) const;

private:
    int runService() const;

    IServiceApplication& application_;
    std::FILE* const output_;
    std::FILE* const errorOutput_;
};

}  // namespace Tarvent::VirtualChannel
