#include "platform/RandomAccessFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace Tarvent::VirtualChannel {

int RandomAccessFile::open(const std::string& path, Mode mode)
{
    int flags = O_CLOEXEC;
    switch (mode) {
    case Mode::ReadOnly:
        flags |= O_RDONLY;
        break;
    case Mode::ReadWrite:
        flags |= O_RDWR;
        break;
    case Mode::CreateTruncate:
        flags |= O_RDWR | O_CREAT | O_TRUNC;
        break;
    }
    const int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) {
        return errno;
    }
    fd_ = UniqueFd(fd);
    return 0;
}

namespace {

// Calls `step` (a read of up to n bytes into data) until `size` bytes came
// or the file ended.
template <class Step>
int readFully(char* data, std::size_t size, std::size_t& got, Step&& step)
{
    got = 0;
    while (got < size) {
        const ssize_t count = step(data + got, size - got, got);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (count == 0) {
            break;
        }
        got += static_cast<std::size_t>(count);
    }
    return 0;
}

}  // namespace

int RandomAccessFile::readAt(std::uint64_t offset, char* data, std::size_t size, std::size_t& got) const
{
    return readFully(data, size, got, [&](char* to, std::size_t count, std::size_t done) {
        return ::pread(fd_.get(), to, count, static_cast<off_t>(offset + done));
    });
}

int RandomAccessFile::read(char* data, std::size_t size, std::size_t& got)
{
    return readFully(data, size, got,
                     [&](char* to, std::size_t count, std::size_t /*done*/) { return ::read(fd_.get(), to, count); });
}

int RandomAccessFile::writeAt(std::uint64_t offset, const char* data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t count = ::pwrite(fd_.get(), data + done, size - done, static_cast<off_t>(offset + done));
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        done += static_cast<std::size_t>(count);
    }
    return 0;
}

int RandomAccessFile::size(std::uint64_t& bytes) const
{
    struct stat status {};
    if (::fstat(fd_.get(), &status) != 0) {
        return errno;
    }
    bytes = static_cast<std::uint64_t>(status.st_size);
    return 0;
}

int RandomAccessFile::truncate(std::uint64_t bytes)
{
    return ::ftruncate(fd_.get(), static_cast<off_t>(bytes)) == 0 ? 0 : errno;
}

int RandomAccessFile::syncData()
{
    return ::fdatasync(fd_.get()) == 0 ? 0 : errno;
}

}  // namespace Tarvent::VirtualChannel
