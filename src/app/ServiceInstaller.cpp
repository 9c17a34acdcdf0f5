#include "app/ServiceInstaller.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "app/ServicePaths.h"
#include "platform/AtomicFile.h"
#include "platform/DirectoryTree.h"
#include "platform/ProcessPaths.h"
#include "platform/Systemctl.h"
#include "util/MakeString.h"
#include "util/PathUtil.h"

namespace Tarvent::VirtualChannel {

namespace {

// One double-quoted word of a unit file. Specifiers (%) are always expanded
// and variables ($) in command lines, so both are doubled there. False when
// the text cannot be written (a line break would end the setting).
bool quoteForUnit(const std::string& text, bool commandLine, std::string& quoted)
{
    quoted = "\"";
    for (const char c : text) {
        switch (c) {
        case '\n':
        case '\r':
            return false;
        case '"':
        case '\\':
            quoted += '\\';
            quoted += c;
            break;
        case '%':
            quoted += "%%";
            break;
        case '$':
            quoted += commandLine ? "$$" : "$";
            break;
        default:
            quoted += c;
        }
    }
    quoted += '"';
    return true;
}

}  // namespace

ServiceInstaller::Settings ServiceInstaller::Settings::fromEnvironment()
{
    Settings settings;
    const char* const unitFolder = std::getenv("OVRA_UNIT_DIR");
    const bool ownFolder = unitFolder != nullptr && *unitFolder != '\0';
    settings.unitFolder = ownFolder ? unitFolder : kSystemUnitFolder;
    settings.useSystemctl = !ownFolder;
    const char* const programData = std::getenv("OVRA_PROGRAM_DATA");
    settings.pinProgramData = programData != nullptr && *programData != '\0';
    settings.programData = programDataFolder();
    return settings;
}

ServiceInstaller::ServiceInstaller(Settings settings, const Systemctl& systemctl, std::FILE* output)
    : settings_(std::move(settings)), systemctl_(systemctl), output_(output)
{
}

std::string ServiceInstaller::unitName()
{
    std::string name = kServiceName;
    for (char& c : name) {
        if (c == ' ') {
            c = '-';
        }
    }
    return name + ".service";
}

std::string ServiceInstaller::unitText(const std::string& executable) const
{
    std::string command;
    std::string programData;
    if (!quoteForUnit(executable, true, command) ||
        (settings_.pinProgramData &&
         !quoteForUnit(makeString("OVRA_PROGRAM_DATA=", settings_.programData), false, programData))) {
        return {};
    }
    // No start limit: an engine that keeps failing is started again after
    // every failure, however often, as a service manager's restart action does.
    std::string text = makeString("[Unit]\n"
                                  "Description=",
                                  kServiceDescription,
                                  "\n"
                                  "StartLimitIntervalSec=0\n"
                                  "\n"
                                  "[Service]\n"
                                  "Type=notify\n"
                                  "ExecStart=",
                                  command, "\n");
    if (!programData.empty()) {
        text += makeString("Environment=", programData, "\n");
    }
    text += makeString("Restart=on-failure\n"
                       "RestartSec=",
                       kRestartDelayMs,
                       "ms\n"
                       "\n"
                       "[Install]\n"
                       "WantedBy=multi-user.target\n");
    return text;
}

std::string ServiceInstaller::unitPath() const
{
    return joinPath(settings_.unitFolder, unitName());
}

bool ServiceInstaller::manageUnits() const
{
    return settings_.useSystemctl && systemctl_.systemdRunning();
}

int ServiceInstaller::install() const
{
    std::string executable;
    if (const int error = executablePath(executable); error != 0) {
        std::fprintf(output_, "Cannot install service (%d)\n", error);
        return error;
    }
    if (const int error = checkWritableDirectory(settings_.unitFolder); error != 0) {
        std::fprintf(output_, "OpenSCManager failed (%d)\n", error);
        return error;
    }
    const std::string text = unitText(executable);
    // A second install finds the unit of the first (EEXIST) and leaves it be.
    if (const int error = text.empty() ? EINVAL : createFileExclusive(unitPath(), text); error != 0) {
        std::fprintf(output_, "CreateService failed (%d)\n", error);
        return error;
    }
    if (manageUnits()) {
        if (const int status = systemctl_.run({"enable", unitName()}); status != 0) {
            std::fprintf(output_, "ChangeServiceConfig2 failed (%d)\n", status);
            return status;
        }
    }
    const std::string workDirectory = workingDirectory(settings_.programData);
    if (const int error = createWorkingDirectory(workDirectory); error != 0) {
        std::fprintf(output_, "Failed to create working directory (%d): path=\"%s\"\n", error, workDirectory.c_str());
        return error;
    }
    std::fprintf(output_, "Service installed successfully\n");
    return 0;
}

int ServiceInstaller::uninstall() const
{
    if (const int error = checkWritableDirectory(settings_.unitFolder); error != 0) {
        std::fprintf(output_, "OpenSCManager failed (%d)\n", error);
        return error;
    }
    const std::string path = unitPath();
    std::error_code status;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, status))) {
        const int error = status ? status.value() : ENOENT;
        std::fprintf(output_, "OpenService failed (%d)\n", error);
        return error;
    }
    const bool manage = manageUnits();
    // Like removing a service that is still running, this leaves a running
    // engine alone; it ends at its next stop.
    if (manage) {
        if (const int result = systemctl_.run({"disable", unitName()}); result != 0) {
            std::fprintf(output_, "DeleteService failed (%d)\n", result);
            return result;
        }
    }
    std::error_code removal;
    if (!std::filesystem::remove(path, removal)) {
        const int error = removal ? removal.value() : ENOENT;
        std::fprintf(output_, "DeleteService failed (%d)\n", error);
        return error;
    }
    if (manage) {
        // The unit is gone either way; a manager that still lists it is only
        // out of date until its next reload.
        systemctl_.run({"daemon-reload"});
    }
    std::fprintf(output_, "Service uninstalled successfully\n");
    return 0;
}

}  // namespace Tarvent::VirtualChannel
