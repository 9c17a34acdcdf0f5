#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace Tarvent::VirtualChannel::TestSupport {

// A program started by a test fixture, in a process group of its own, with
// stdin at /dev/null and stdout/stderr appended to a log file (or dropped).
// It is killed (SIGTERM, then SIGKILL to the whole group) when the object
// goes, and with SIGKILL when the test process dies first.
// Test thread only.
class ChildProcess {
public:
    struct Result {
        int status = -1;  // exit code, 128 + signal number, or -1 on time-out
        std::string output;  // stdout and stderr together
    };

    // Starts `argv` (argv[0] looked up in PATH) with the test's environment
    // plus `env` ("NAME=value" entries override). Throws std::runtime_error
    // when the program can't be started.
    explicit ChildProcess(const std::vector<std::string>& argv, const std::string& logFile = "",
                          const std::vector<std::string>& env = {});
    ~ChildProcess();

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // False once the process has ended (and reaps it).
    bool running();
    // The exit status once ended within `timeout`, else nothing.
    std::optional<int> waitFor(std::chrono::milliseconds timeout);
    // SIGTERM; SIGKILL to the group when it hasn't ended after `grace`.
    // Returns the exit status. No effect once ended.
    int stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));
    // Sends `signal` to the process only.
    void signal(int signal);
    // SIGKILL to the whole group at once, and waits for the end.
    void kill();

    // Runs a command to its end, collecting its output; killed after `timeout`.
    static Result run(const std::vector<std::string>& argv,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(10000),
                      const std::vector<std::string>& env = {});

private:
    ChildProcess() = default;
    static pid_t spawn(const std::vector<std::string>& argv, int outputFd, const std::vector<std::string>& env);
    void reap(int rawStatus);

    pid_t pid_ = -1;
    std::optional<int> status_;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
