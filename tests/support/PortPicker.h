#pragma once

#include <cstdint>

namespace Tarvent::VirtualChannel::TestSupport {

// Finds loopback ports for test peers. Any thread.
class PortPicker {
public:
    // A port p such that p .. p+count-1 are free on 127.0.0.1 for both UDP
    // and TCP right now (checked by binding them). Throws when none is found.
    static std::uint16_t freePorts(int count = 1);
};

}  // namespace Tarvent::VirtualChannel::TestSupport
