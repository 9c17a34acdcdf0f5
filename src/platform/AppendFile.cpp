#include "platform/AppendFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace Tarvent::VirtualChannel {

AppendFile::~AppendFile()
{
    close();
}

bool AppendFile::open(const std::string& path, bool truncate)
{
    const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0);
    const int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) {
        close();
        return false;
    }
    const int current = fd_.load(std::memory_order_relaxed);
    // The new file takes the old one's number: a crash handler that has just
    // read the number writes into the old file or the new one, never into
    // whatever else another thread might be given for a freed number.
    if (current >= 0 && ::dup3(fd, current, O_CLOEXEC) == current) {
        ::close(fd);
        return true;
    }
    const int old = fd_.exchange(fd);
    if (old >= 0) {
        ::close(old);
    }
    return true;
}

void AppendFile::close()
{
    const int old = fd_.exchange(-1);
    if (old >= 0) {
        ::close(old);
    }
}

bool AppendFile::writeAll(int fd, const char* data, std::size_t size) noexcept
{
    if (fd < 0) {
        return false;
    }
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool AppendFile::write(const char* data, std::size_t size)
{
    return writeAll(fd_.load(std::memory_order_relaxed), data, size);
}

bool AppendFile::writeInCrash(const char* data, std::size_t size) const noexcept
{
    // errno belongs to whatever the interrupted thread was doing.
    const int savedErrno = errno;
    const bool ok = writeAll(fd_.load(std::memory_order_acquire), data, size);
    errno = savedErrno;
    return ok;
}

std::int64_t AppendFile::size() const
{
    struct stat info {};
    const int fd = fd_.load(std::memory_order_relaxed);
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        return -1;
    }
    return static_cast<std::int64_t>(info.st_size);
}

}  // namespace Tarvent::VirtualChannel
