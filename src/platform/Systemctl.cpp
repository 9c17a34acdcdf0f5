#include "platform/Systemctl.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

namespace Tarvent::VirtualChannel {

Systemctl::Systemctl(std::string marker, std::string program)
    : marker_(std::move(marker)), program_(std::move(program))
{
}

bool Systemctl::systemdRunning() const
{
    struct stat info {};
    return ::lstat(marker_.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int Systemctl::run(const std::vector<std::string>& arguments) const
{
    std::vector<std::string> words;
    words.reserve(arguments.size() + 1);
    words.push_back(program_);
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    pid_t pid = -1;
    if (const int error = ::posix_spawnp(&pid, program_.c_str(), nullptr, nullptr, argv.data(), environ);
        error != 0) {
        return error;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : ECHILD;
}

}  // namespace Tarvent::VirtualChannel
