#pragma once

namespace Tarvent::VirtualChannel {

// The number of allocator arenas the engine's threads share.
constexpr int kAllocatorArenas = 2;

// Caps the C library's allocator at kAllocatorArenas arenas. Left alone, it
// gives each thread that allocates while the others hold theirs an arena of
// its own, up to eight per core; the SIP stack starts and ends threads with
// every call and conference, and each arena keeps the pages it once used, so
// the engine's resident size followed the most threads it ever ran at once
// (some 2 MB more after a few dozen calls). The stack's threads allocate
// little and briefly and hold an arena's lock only that long. Returns false
// when the allocator does not take the setting (another allocator, or a
// sanitizer's). Any thread; meant for the start of the process, before the
// others.
bool limitAllocatorArenas();

}  // namespace Tarvent::VirtualChannel
