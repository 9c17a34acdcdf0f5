#include "platform/DescriptorLimit.h"

#include <sys/resource.h>

namespace Tarvent::VirtualChannel {

long descriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return -1;
    }
    return static_cast<long>(limit.rlim_cur);
}

}  // namespace Tarvent::VirtualChannel
