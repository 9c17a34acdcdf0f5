#include "platform/StandardDescriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace Tarvent::VirtualChannel {

int keepStandardDescriptorsOpen()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        // The lowest free number is `fd` itself unless another thread got
        // there first; then it is moved into place.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened < 0) {
            return errno;
        }
        if (opened != fd) {
            const bool moved = ::dup2(opened, fd) == fd;
            const int error = errno;
            ::close(opened);
            if (!moved) {
                return error;
            }
        }
    }
    return 0;
}

}  // namespace Tarvent::VirtualChannel
