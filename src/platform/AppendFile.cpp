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
    close();
    const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0);
    fd_ = ::open(path.c_str(), flags, 0644);
    return fd_ >= 0;
}

void AppendFile::close()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool AppendFile::write(const char* data, std::size_t size)
{
    if (fd_ < 0) {
        return false;
    }
    while (size > 0) {
        const ssize_t written = ::write(fd_, data, size);
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

std::int64_t AppendFile::size() const
{
    struct stat info {};
    if (fd_ < 0 || ::fstat(fd_, &info) != 0) {
        return -1;
    }
    return static_cast<std::int64_t>(info.st_size);
}

}  // namespace Tarvent::VirtualChannel
