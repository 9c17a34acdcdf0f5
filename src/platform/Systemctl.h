#pragma once

#include <string>
#include <vector>

namespace Tarvent::VirtualChannel {

// Runs the service manager's control program. Whether systemd is the running
// service manager is told by the marker folder it creates at boot. Any
// thread; `run` blocks until the program has ended.
class Systemctl {
public:
    static constexpr const char* kDefaultMarker = "/run/systemd/system";
    static constexpr const char* kDefaultProgram = "systemctl";

    // `program` is looked up in PATH unless it holds a slash.
    explicit Systemctl(std::string marker = kDefaultMarker, std::string program = kDefaultProgram);

    bool systemdRunning() const;

    // Runs the program with `arguments`, its output going where ours goes.
    // Returns 0 when it succeeded; its exit status when it failed; 128 plus
    // the signal number when a signal ended it; the errno when it could not
    // be started or waited for.
    int run(const std::vector<std::string>& arguments) const;

private:
    std::string marker_;
    std::string program_;
};

}  // namespace Tarvent::VirtualChannel
