// The loopback-only namespace the SIP and media tests run in.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "support/ChildProcess.h"
#include "support/PortPicker.h"

namespace Tarvent::VirtualChannel::TestSupport {
namespace {

sockaddr_in address(const char* ip, std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { if (fd_ >= 0) ::close(fd_); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

TEST(NetnsTest, OnlyLoopbackExistsAndCarriesTheDefaultRoute)
{
    const auto links = ChildProcess::run({"ip", "-o", "link", "show"});
    ASSERT_EQ(links.status, 0) << links.output;
    EXPECT_NE(links.output.find(": lo:"), std::string::npos) << links.output;
    EXPECT_EQ(links.output.find('\n'), links.output.size() - 1) << "more than one interface:\n" << links.output;
    EXPECT_NE(if_nametoindex("lo"), 0u);

    const auto routes = ChildProcess::run({"ip", "route", "show", "default"});
    EXPECT_NE(routes.output.find("default dev lo"), std::string::npos) << routes.output;
}

TEST(NetnsTest, UdpAndTcpWorkOnLoopback)
{
    const std::uint16_t port = PortPicker::freePorts(1);
    const auto to = address("127.0.0.1", port);

    Fd udpIn(::socket(AF_INET, SOCK_DGRAM, 0));
    ASSERT_EQ(::bind(udpIn.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    Fd udpOut(::socket(AF_INET, SOCK_DGRAM, 0));
    ASSERT_EQ(::sendto(udpOut.get(), "ping", 4, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to), 4);
    char buf[8] = {};
    pollfd p{udpIn.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    EXPECT_EQ(::recv(udpIn.get(), buf, sizeof buf, 0), 4);

    Fd listener(::socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    ASSERT_EQ(::listen(listener.get(), 1), 0);
    Fd client(::socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    Fd accepted(::accept(listener.get(), nullptr, nullptr));
    EXPECT_GE(accepted.get(), 0);
}

TEST(NetnsTest, NothingBeyondLoopbackIsReachable)
{
    // Only documentation addresses (never routed on the Internet) are tried.
    for (const char* ip : {"192.0.2.1", "198.51.100.7"}) {
        Fd tcp(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        const auto to = address(ip, 5060);
        const int rc = ::connect(tcp.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd p{tcp.get(), POLLOUT, 0};
            ::poll(&p, 1, 300);
            int error = 0;
            socklen_t len = sizeof error;
            ::getsockopt(tcp.get(), SOL_SOCKET, SO_ERROR, &error, &len);
            const bool connected = p.revents & POLLOUT && error == 0;
            EXPECT_FALSE(connected) << ip;
        } else {
            EXPECT_NE(rc, 0) << ip;
        }
    }
    const auto ping = ChildProcess::run({"ip", "route", "get", "192.0.2.1"});
    EXPECT_NE(ping.output.find("dev lo"), std::string::npos) << ping.output;
}

}  // namespace
}  // namespace Tarvent::VirtualChannel::TestSupport
