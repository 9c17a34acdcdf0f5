#include "platform/ProcessPaths.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#ifndef OVRA_DEFAULT_PROGRAM_DATA
#define OVRA_DEFAULT_PROGRAM_DATA "/var/lib"
#endif

namespace Tarvent::VirtualChannel {

std::string programDataFolder()
{
    const char* const value = std::getenv("OVRA_PROGRAM_DATA");
    return value != nullptr && *value != '\0' ? value : OVRA_DEFAULT_PROGRAM_DATA;
}

int executablePath(std::string& path)
{
    std::string buffer(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) {
        return errno;
    }
    if (static_cast<std::size_t>(length) >= buffer.size()) {
        return ENAMETOOLONG;
    }
    buffer.resize(static_cast<std::size_t>(length));
    path = std::move(buffer);
    return 0;
}

}  // namespace Tarvent::VirtualChannel
