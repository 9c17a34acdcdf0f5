#pragma once

#include <chrono>

namespace Tarvent::VirtualChannel {

// How long a running call may receive neither RTP nor RTCP before the stack
// takes its far end for gone and ends the call (BYE, reported terminated).
// A live peer sends RTCP at least every five seconds even when its voice is
// silent; five such intervals without a packet is when RTP itself declares a
// participant gone. A call on hold, from either side, is not watched: it
// may legitimately carry nothing.
inline constexpr std::chrono::seconds kSipMediaTimeout{25};

}  // namespace Tarvent::VirtualChannel
