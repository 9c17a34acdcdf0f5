#include "platform/ThreadId.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace Tarvent::VirtualChannel {

std::uint32_t currentThreadId()
{
    // Cached per thread: the id never changes and the log asks for it on every line.
    thread_local const std::uint32_t id = static_cast<std::uint32_t>(::syscall(SYS_gettid));
    return id;
}

}  // namespace Tarvent::VirtualChannel
