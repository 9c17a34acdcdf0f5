#pragma once

#include "platform/Socket.h"

namespace Tarvent::VirtualChannel {

// Opens the channel's listening socket on loopback (packet buffering off,
// listening) and publishes its port in the registry, before the engine is
// loaded: a client that reads the port connects at once, and the kernel
// holds its connection and first packets until the engine accepts them.
// Silent by design (the log is not open yet): returns an invalid socket when
// the socket cannot be opened, and the engine then opens its own and reports
// any failure in its log; a socket whose port could not be published is
// still returned, and the engine's own publication reports that failure.
// Runs once, on the main thread, before any other thread exists.
Socket openEarlyListener();

}  // namespace Tarvent::VirtualChannel
