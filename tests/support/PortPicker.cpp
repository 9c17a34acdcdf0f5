#include "support/PortPicker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <stdexcept>

namespace Tarvent::VirtualChannel::TestSupport {

namespace {

bool canBind(int type, std::uint16_t port)
{
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

std::uint16_t PortPicker::freePorts(int count)
{
    // Below the usual ephemeral range, so the ports the peers pick for
    // themselves (RTP, outgoing TCP) don't take ours; spread per process and
    // per call so peers of one test don't collide.
    static std::atomic<unsigned> next{std::random_device{}() % 8000};
    for (int attempt = 0; attempt < 2000; ++attempt) {
        const auto base = static_cast<std::uint16_t>(20000 + (next.fetch_add(static_cast<unsigned>(count) + 1) % 9000));
        bool free = true;
        for (int i = 0; i < count && free; ++i) {
            const auto p = static_cast<std::uint16_t>(base + i);
            free = canBind(SOCK_STREAM, p) && canBind(SOCK_DGRAM, p);
        }
        if (free) {
            return base;
        }
    }
    throw std::runtime_error("PortPicker: no free loopback ports");
}

}  // namespace Tarvent::VirtualChannel::TestSupport
