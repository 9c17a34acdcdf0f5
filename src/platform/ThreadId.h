#pragma once

#include <cstdint>

namespace Tarvent::VirtualChannel {

// The kernel's id of the calling thread (what tools such as top and gdb show).
std::uint32_t currentThreadId();

}  // namespace Tarvent::VirtualChannel
