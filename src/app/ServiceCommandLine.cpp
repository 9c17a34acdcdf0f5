#include "app/ServiceCommandLine.h"

#include <cctype>

#include "app/ServiceHost.h"
#include "app/ServiceInstaller.h"
#include "app/ServicePaths.h"
#include "app/SystemdStatusReporter.h"
#include "platform/ProcessPaths.h"
#include "platform/Systemctl.h"

namespace Tarvent::VirtualChannel {

namespace {

bool equalsIgnoringCase(const char* text, const char* option)
{
    for (; *text != '\0' && *option != '\0'; ++text, ++option) {
        if (std::tolower(static_cast<unsigned char>(*text)) != std::tolower(static_cast<unsigned char>(*option))) {
            return false;
        }
    }
    return *text == *option;
}

}  // namespace

ServiceCommandLine::ServiceCommandLine(IServiceApplication& application, std::FILE* output, std::FILE* errorOutput)
    : application_(application), output_(output), errorOutput_(errorOutput)
{
}

ServiceCommandLine::Option ServiceCommandLine::option(int argc, const char* const argv[])
{
    if (argc < 2 || argv[1] == nullptr) {
        return Option::Service;
    }
    const char* const first = argv[1];
    if (equalsIgnoringCase(first, "/?")) {
        return Option::Help;
    }
    if (equalsIgnoringCase(first, "/i")) {
        return Option::Install;
    }
    if (equalsIgnoringCase(first, "/u")) {
        return Option::Uninstall;
    }
    return Option::Service;
}

int ServiceCommandLine::run(int argc, const char* const argv[]) const
{
    switch (const Option chosen = option(argc, argv)) {
    case Option::Help:
        return printHelp(output_);
    case Option::Install:
    case Option::Uninstall: {
        const Systemctl systemctl;
        const ServiceInstaller installer(ServiceInstaller::Settings::fromEnvironment(), systemctl, output_);
        return chosen == Option::Install ? installer.install() : installer.uninstall();
    }
    case Option::Service:
        break;
    }
    return runService();
}

int ServiceCommandLine::printHelp(std::FILE* output)
{
    std::fprintf(output, "Options:\n");
    std::fprintf(output, "/?\tprint help\n");
    std::fprintf(output, "/i\tinstall service\n");
    std::fprintf(output, "/u\tuninstall service\n");
    return 0;
}

int ServiceCommandLine::runService() const
{
    SystemdStatusReporter reporter;
    ServiceHost host(application_, reporter, workingDirectory(programDataFolder()), errorOutput_);
    return host.run();
}

}  // namespace Tarvent::VirtualChannel
