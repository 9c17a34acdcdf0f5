#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace Tarvent::VirtualChannel::TestSupport {

// What a running process holds, as /proc tells it: open descriptors,
// threads and resident memory.
struct ProcessResources {
    int descriptors = 0;
    int threads = 0;
    long rssKiB = 0;

    // Nothing when the process is gone (or /proc can't be read).
    static std::optional<ProcessResources> of(pid_t pid);

    // "fds=12 threads=9 rss=41234 KiB"
    std::string text() const;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
