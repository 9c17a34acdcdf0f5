#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace Tarvent::VirtualChannel::TestSupport {

// Evidence of a hang: every thread's stack of a running process, taken with
// gdb (attached in batch mode, detached again, so the process goes on).
// Tests call it when a wait for a process they drive times out, and the hang
// watchdog of every test executable calls it shortly before the test's time
// limit, for the test process itself and for every process it watches.
// Any thread.
class ThreadDump {
public:
    static constexpr std::chrono::seconds kGdbTimeout{60};

    // gdb's account of every thread of `pid` ("thread apply all bt"), or why
    // there is none (no such process, gdb missing or failing).
    static std::string of(pid_t pid);
    // Writes the stacks of `pid` to stderr between two banner lines that
    // name `what` (the process) and `why` (the wait that timed out).
    static void print(pid_t pid, const std::string& what, const std::string& why);

    // Processes that the watchdog dumps besides the test process itself,
    // e.g. the engine a test drives over its channel.
    static void watch(pid_t pid, const std::string& what);
    static void unwatch(pid_t pid);
    // Prints the test process and every watched one.
    static void printAll(const std::string& why);
};

}  // namespace Tarvent::VirtualChannel::TestSupport
