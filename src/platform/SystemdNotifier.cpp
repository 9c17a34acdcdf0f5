#include "platform/SystemdNotifier.h"

#include <systemd/sd-daemon.h>

namespace Tarvent::VirtualChannel {

int SystemdNotifier::notify(const char* message) const
{
    // The variable stays set: a later message must reach the manager too.
    const int result = ::sd_notify(0, message);
    return result < 0 ? -result : 0;
}

}  // namespace Tarvent::VirtualChannel
