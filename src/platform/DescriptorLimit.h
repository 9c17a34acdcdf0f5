#pragma once

namespace Tarvent::VirtualChannel {

// How many file descriptors this process may have open (the soft limit), or
// -1 when it cannot be read or there is none. Any thread.
long descriptorLimit();

}  // namespace Tarvent::VirtualChannel
