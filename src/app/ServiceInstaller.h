#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace Tarvent::VirtualChannel {

class Systemctl;

// Installs and removes the engine as a systemd service: a unit file that
// starts this executable at boot (Type=notify, restarted 1000 ms after every
// failure, with no start limit), the working directory, and the unit's enabling. Console lines go
// to `output`; each operation returns 0 or the error it printed, which
// becomes the process's exit code. `systemctl` must outlive the installer.
// Main thread only.
class ServiceInstaller {
public:
    struct Settings {
        // Folder of the unit file.
        std::string unitFolder;
        // Enable and disable the unit through systemctl (when systemd runs).
        bool useSystemctl = true;
        // The program data folder; written into the unit when `pinProgramData`.
        std::string programData;
        bool pinProgramData = false;

        // The unit folder from OVRA_UNIT_DIR, else /etc/systemd/system, where
        // systemctl is used; a folder of one's own is only written (it is not
        // one systemd reads, and a test must never enable or disable the
        // machine's real service). The program data folder from
        // OVRA_PROGRAM_DATA (pinned in the unit when set), else the default.
        static Settings fromEnvironment();
    };

    static constexpr const char* kSystemUnitFolder = "/etc/systemd/system";
    static constexpr std::uint32_t kRestartDelayMs = 1000;

    ServiceInstaller(Settings settings, const Systemctl& systemctl, std::FILE* output);

    int install() const;
    int uninstall() const;

    // "TARVENT-OVRA.service": the service name with its space made a dash.
    static std::string unitName();
    // The unit file's text for the executable at `executable`; empty when
    // the path cannot be written into a unit (it holds a line break).
    std::string unitText(const std::string& executable) const;

private:
    std::string unitPath() const;
    bool manageUnits() const;

    const Settings settings_;
    const Systemctl& systemctl_;
    std::FILE* const output_;
};

}  // namespace Tarvent::VirtualChannel
