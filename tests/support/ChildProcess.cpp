#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace Tarvent::VirtualChannel::TestSupport {

namespace {

using Clock = std::chrono::steady_clock;

int decodeStatus(int raw)
{
    if (WIFEXITED(raw)) {
        return WEXITSTATUS(raw);
    }
    if (WIFSIGNALED(raw)) {
        return 128 + WTERMSIG(raw);
    }
    return -1;
}

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& overrides)
{
    std::vector<std::string> out;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        bool overridden = false;
        for (const auto& o : overrides) {
            overridden = overridden || o.compare(0, name.size() + 1, name + "=") == 0;
        }
        if (!overridden) {
            out.push_back(entry);
        }
    }
    out.insert(out.end(), overrides.begin(), overrides.end());
    return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    for (auto& s : strings) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

}  // namespace

pid_t ChildProcess::spawn(const std::vector<std::string>& argv, int outputFd, const std::vector<std::string>& env)
{
    if (argv.empty()) {
        throw std::runtime_error("ChildProcess: empty command");
    }
    // Everything the child needs is prepared before fork: after it only
    // async-signal-safe calls are allowed.
    std::vector<std::string> args(argv);
    std::vector<std::string> envStrings = mergedEnvironment(env);
    std::vector<char*> argp = pointers(args);
    std::vector<char*> envp = pointers(envStrings);
    const pid_t parent = ::getpid();

    int errorPipe[2];
    if (::pipe2(errorPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("ChildProcess: pipe failed");
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(errorPipe[0]);
        ::close(errorPipe[1]);
        throw std::runtime_error("ChildProcess: fork failed");
    }
    if (pid == 0) {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        const int devNull = ::open("/dev/null", O_RDWR);
        ::dup2(devNull, 0);
        const int out = outputFd >= 0 ? outputFd : devNull;
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::execvpe(argp[0], argp.data(), envp.data());
        const int error = errno;
        (void)!::write(errorPipe[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(errorPipe[1]);
    int childError = 0;
    const ssize_t n = ::read(errorPipe[0], &childError, sizeof childError);
    ::close(errorPipe[0]);
    if (n == static_cast<ssize_t>(sizeof childError)) {
        ::waitpid(pid, nullptr, 0);
        throw std::runtime_error("ChildProcess: cannot run " + argv[0] + ": " + std::strerror(childError));
    }
    return pid;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& logFile,
                           const std::vector<std::string>& env)
{
    int fd = -1;
    if (!logFile.empty()) {
        fd = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) {
            throw std::runtime_error("ChildProcess: cannot open " + logFile);
        }
    }
    try {
        pid_ = spawn(argv, fd, env);
    } catch (...) {
        if (fd >= 0) {
            ::close(fd);
        }
        throw;
    }
    if (fd >= 0) {
        ::close(fd);
    }
}

ChildProcess::~ChildProcess()
{
    stop();
}

void ChildProcess::reap(int rawStatus)
{
    status_ = decodeStatus(rawStatus);
    // Helpers the program left behind in its group go with it.
    ::kill(-pid_, SIGKILL);
}

bool ChildProcess::running()
{
    if (status_) {
        return false;
    }
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
        reap(raw);
        return false;
    }
    return true;
}

std::optional<int> ChildProcess::waitFor(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (running()) {
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return status_;
}

void ChildProcess::signal(int signal)
{
    if (running()) {
        ::kill(pid_, signal);
    }
}

void ChildProcess::kill()
{
    if (running()) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        waitFor(std::chrono::milliseconds(10000));
    }
}

int ChildProcess::stop(std::chrono::milliseconds grace)
{
    if (pid_ < 0) {
        return -1;
    }
    if (running()) {
        ::kill(pid_, SIGTERM);
        if (!waitFor(grace)) {
            ::kill(-pid_, SIGKILL);
            ::kill(pid_, SIGKILL);
            waitFor(std::chrono::milliseconds(10000));
        }
    }
    return status_.value_or(-1);
}

ChildProcess::Result ChildProcess::run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                                       const std::vector<std::string>& env)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error("ChildProcess: pipe failed");
    }
    ChildProcess child;
    Result result;
    try {
        child.pid_ = spawn(argv, pipeFds[1], env);
    } catch (...) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        throw;
    }
    ::close(pipeFds[1]);

    const auto deadline = Clock::now() + timeout;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        pollfd p{pipeFds[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;  // EOF: the program (and whatever inherited its output) is done
        }
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    const auto status = child.waitFor(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::max(deadline - Clock::now(), Clock::duration::zero())));
    result.status = status ? *status : -1;
    child.stop(std::chrono::milliseconds(500));
    return result;
}

}  // namespace Tarvent::VirtualChannel::TestSupport
