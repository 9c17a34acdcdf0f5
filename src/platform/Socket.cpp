#include "platform/Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace Tarvent::VirtualChannel {

namespace {

sockaddr_in loopbackAddress(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    return address;
}

bool setIntOption(int fd, int level, int name, int value)
{
    return setsockopt(fd, level, name, &value, sizeof(value)) == 0;
}

}  // namespace

Socket::~Socket()
{
    close();
}

Socket::Socket(Socket&& other) noexcept : fd_(other.fd_)
{
    other.fd_ = -1;
}

Socket& Socket::operator=(Socket&& other) noexcept
{
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

Socket Socket::createTcp()
{
    return Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
}

Socket Socket::connectLoopback(int port)
{
    return connectLoopback(port, createTcp());
}

Socket Socket::connectLoopback(int port, Socket socket)
{
    if (!socket.valid()) {
        return socket;
    }
    const sockaddr_in address = loopbackAddress(port);
    int result;
    do {
        result = ::connect(socket.fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        socket.close();
    }
    return socket;
}

int Socket::lastError()
{
    return errno;
}

int Socket::pollForRead(std::vector<PollEntry>& entries, std::chrono::milliseconds timeout)
{
    std::vector<pollfd> fds(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        fds[i].fd = entries[i].fd;
        fds[i].events = POLLIN | POLLRDNORM | POLLRDBAND;
        fds[i].revents = 0;
    }
    int result;
    do {
        result = ::poll(fds.data(), fds.size(), static_cast<int>(timeout.count()));
    } while (result < 0 && errno == EINTR);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i].revents = result > 0 ? fds[i].revents : 0;
    }
    return result;
}

bool Socket::isReadable(short revents)
{
    return (revents & (POLLIN | POLLRDNORM | POLLRDBAND)) != 0;
}

bool Socket::isHangUp(short revents)
{
    return (revents & POLLHUP) != 0;
}

bool Socket::bindLoopback(int port)
{
    const sockaddr_in address = loopbackAddress(port);
    return ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

bool Socket::setNoDelay()
{
    return setIntOption(fd_, IPPROTO_TCP, TCP_NODELAY, 1);
}

int Socket::localPort() const
{
    sockaddr_in address{};
    socklen_t size = sizeof(address);
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return -1;
    }
    return ntohs(address.sin_port);
}

bool Socket::listen(int backlog)
{
    return ::listen(fd_, backlog) == 0;
}

bool Socket::setNonBlocking()
{
    const int flags = ::fcntl(fd_, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool Socket::setSendTimeout(std::chrono::milliseconds timeout)
{
    timeval value{};
    value.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    value.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    return setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof(value)) == 0;
}

bool Socket::setReceiveBufferSize(int bytes)
{
    return setIntOption(fd_, SOL_SOCKET, SO_RCVBUF, bytes);
}

bool Socket::setLingerZero()
{
    linger value{};
    value.l_onoff = 1;
    value.l_linger = 0;
    return setsockopt(fd_, SOL_SOCKET, SO_LINGER, &value, sizeof(value)) == 0;
}

Socket Socket::accept(bool& wouldBlock)
{
    int fd;
    do {
        fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    wouldBlock = fd < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED);
    return Socket(fd);
}

long Socket::receive(void* buffer, std::size_t size)
{
    ssize_t result;
    do {
        result = ::recv(fd_, buffer, size, 0);
    } while (result < 0 && errno == EINTR);
    return static_cast<long>(result);
}

bool Socket::sendAll(const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t result = ::send(fd_, bytes, size, MSG_NOSIGNAL);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += result;
        size -= static_cast<std::size_t>(result);
    }
    return true;
}

void Socket::shutdownBoth()
{
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_RDWR);
    }
}

int Socket::close()
{
    if (fd_ < 0) {
        return 0;
    }
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
}

}  // namespace Tarvent::VirtualChannel
