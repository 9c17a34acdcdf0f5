#include "support/ThreadDump.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "support/ChildProcess.h"

namespace Tarvent::VirtualChannel::TestSupport {

namespace {

struct Watched {
    std::mutex mutex;  // guards pids; a leaf lock
    std::map<pid_t, std::string> pids;
};

Watched& watched()
{
    static Watched instance;
    return instance;
}

// One dump at a time, so that two banners never interleave on stderr.
std::mutex& printMutex()
{
    static std::mutex instance;
    return instance;
}

// Running, not only not yet reaped: a process that ended has no threads to show.
bool exists(pid_t pid)
{
    if (pid <= 0 || (::kill(pid, 0) != 0 && errno != EPERM)) {
        return false;
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // "pid (name) state ...": the name may hold anything but the last ')'.
    const std::size_t close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() || text[close + 2] != 'Z';
}

}  // namespace

std::string ThreadDump::of(pid_t pid)
{
    if (!exists(pid)) {
        return "(process " + std::to_string(pid) + " has ended)\n";
    }
    // Where the kernel lets only ancestors trace a process, this one lets
    // its own gdb (a child) in.
    if (pid == ::getpid()) {
        ::prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    }
    try {
        const ChildProcess::Result result = ChildProcess::run(
            {"gdb", "-nx", "-batch", "-p", std::to_string(pid), "-iex", "set debuginfod enabled off", "-ex",
             "set pagination off", "-ex", "set print thread-events off", "-ex", "info threads", "-ex",
             "thread apply all bt"},
            kGdbTimeout);
        std::string text = result.output;
        if (result.status != 0) {
            text += "(gdb ended with status " + std::to_string(result.status) + ")\n";
        }
        return text;
    } catch (const std::exception& error) {
        return std::string("(no thread dump: ") + error.what() + ")\n";
    }
}

void ThreadDump::print(pid_t pid, const std::string& what, const std::string& why)
{
    const std::string stacks = of(pid);
    const std::lock_guard<std::mutex> lock(printMutex());
    std::cerr << "\n===== thread stacks of " << what << " (pid " << pid << "): " << why << " =====\n"
              << stacks << "===== end of thread stacks of " << what << " (pid " << pid << ") =====\n"
              << std::flush;
}

void ThreadDump::watch(pid_t pid, const std::string& what)
{
    Watched& all = watched();
    const std::lock_guard<std::mutex> lock(all.mutex);
    all.pids[pid] = what;
}

void ThreadDump::unwatch(pid_t pid)
{
    Watched& all = watched();
    const std::lock_guard<std::mutex> lock(all.mutex);
    all.pids.erase(pid);
}

void ThreadDump::printAll(const std::string& why)
{
    std::vector<std::pair<pid_t, std::string>> targets{{::getpid(), "the test process"}};
    {
        Watched& all = watched();
        const std::lock_guard<std::mutex> lock(all.mutex);
        targets.insert(targets.end(), all.pids.begin(), all.pids.end());
    }
    for (const auto& [pid, what] : targets) {
        print(pid, what, why);
    }
}

}  // namespace Tarvent::VirtualChannel::TestSupport
