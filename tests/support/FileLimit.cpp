#include "support/FileLimit.h"

#include <dirent.h>
#include <sys/resource.h>

#include <cstdlib>
#include <set>
#include <string>

namespace Tarvent::VirtualChannel::TestSupport {

namespace {

std::set<int> openDescriptors()
{
    std::set<int> open;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return open;
    }
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            const int fd = std::atoi(name.c_str());
            if (fd != own) {
                open.insert(fd);
            }
        }
    }
    closedir(dir);
    return open;
}

}  // namespace

FileLimit::FileLimit(std::size_t free)
{
    rlimit old{};
    if (getrlimit(RLIMIT_NOFILE, &old) != 0) {
        return;
    }
    oldSoft_ = old.rlim_cur;
    oldHard_ = old.rlim_max;
    // New descriptors take the lowest free numbers, so the limit goes just
    // past the `free`-th unused number.
    const std::set<int> open = openDescriptors();
    int limit = 0;
    for (std::size_t found = 0; found < free; ++limit) {
        if (open.count(limit) == 0) {
            ++found;
        }
    }
    rlimit lowered = old;
    lowered.rlim_cur = static_cast<rlim_t>(limit);
    applied_ = setrlimit(RLIMIT_NOFILE, &lowered) == 0;
}

FileLimit::~FileLimit()
{
    if (applied_) {
        rlimit old{};
        old.rlim_cur = static_cast<rlim_t>(oldSoft_);
        old.rlim_max = static_cast<rlim_t>(oldHard_);
        setrlimit(RLIMIT_NOFILE, &old);
    }
}

}  // namespace Tarvent::VirtualChannel::TestSupport
