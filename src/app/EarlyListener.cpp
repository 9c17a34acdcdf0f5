#include "app/EarlyListener.h"

#include <exception>
#include <string>

#include "app/PortPublication.h"
#include "transport/PacketDispatcher.h"

namespace Tarvent::VirtualChannel {

Socket openEarlyListener()
{
    Socket socket = Socket::createTcp();
    // Accepted connections take the option over from the listener only if
    // it is set before they arrive.
    if (!socket.valid() || !socket.bindLoopback(0) || !socket.setNoDelay() ||
        !socket.listen(PacketDispatcher::kListenBacklog)) {
        return Socket();
    }
    const int port = socket.localPort();
    if (port < 0) {
        return Socket();
    }
    try {
        PortPublication::publish(port);
    } catch (const std::exception&) {
        // Reported by the engine, which publishes the port again.
    }
    return socket;
}

}  // namespace Tarvent::VirtualChannel
