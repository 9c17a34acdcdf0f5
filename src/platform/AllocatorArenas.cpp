#include "platform/AllocatorArenas.h"

#include <malloc.h>

namespace Tarvent::VirtualChannel {

bool limitAllocatorArenas()
{
#if defined(__GLIBC__) && defined(M_ARENA_MAX)
    return ::mallopt(M_ARENA_MAX, kAllocatorArenas) == 1;
#else
    return false;
#endif
}

}  // namespace Tarvent::VirtualChannel
