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

int ServiceCommandLine::run(int argc, const char* const argv[]) const
{
    if (argc < 2 || argv[1] == nullptr) {
        return runService();
    }
    const char* const option = argv[1];
    if (equalsIgnoringCase(option, "/?")) {
        return printHelp();
    }
    const bool install = equalsIgnoringCase(option, "/i");
    if (install || equalsIgnoringCase(option, "/u")) {
        const Systemctl systemctl;
        const ServiceInstaller installer(ServiceInstaller::Settings::fromEnvironment(), systemctl, output_);
        return install ? installer.install() : installer.uninstall();
    }
    return runService();
}

int ServiceCommandLine::printHelp() const
{
    std::fprintf(output_, "Options:\n");
    std::fprintf(output_, "/?\tprint help\n");
    std::fprintf(output_, "/i\tinstall service\n");
    std::fprintf(output_, "/u\tuninstall service\n");
    return 0;
}

int ServiceCommandLine::runService() const
{
    SystemdStatusReporter reporter;
    ServiceHost host(application_, reporter, workingDirectory(programDataFolder()), errorOutput_);
    return host.run();
}

}  // namespace Tarvent::VirtualChannel
