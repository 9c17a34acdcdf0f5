#include "platform/UniqueFd.h"

#include <unistd.h>

#include <cerrno>

namespace Tarvent::VirtualChannel {

UniqueFd::~UniqueFd()
{
    reset();
}

UniqueFd::UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_)
{
    other.fd_ = -1;
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other) {
        reset();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

int UniqueFd::reset()
{
    if (fd_ < 0) {
        return 0;
    }
    const int fd = fd_;
    fd_ = -1;
    // Linux releases the descriptor even when close reports an error, so it
    // is never retried.
    return ::close(fd) == 0 ? 0 : errno;
}

}  // namespace Tarvent::VirtualChannel
