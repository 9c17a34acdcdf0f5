#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace Tarvent::VirtualChannel {

// An owned TCP socket descriptor with the handful of calls the loopback
// transport needs. Closes its descriptor on destruction. Not synchronised:
// the owner decides which thread may use it (the dispatcher's worker polls,
// reads and closes; senders write under the dispatcher's mutex).
// Every call that fails leaves errno set; lastError() reads it.
class Socket {
public:
    // One descriptor to poll and the events that came back.
    struct PollEntry {
        int fd = -1;
        short revents = 0;
    };

    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket();

    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // A fresh IPv4 stream socket (invalid on failure).
    static Socket createTcp();
    // A blocking client connection to 127.0.0.1:port (invalid on failure).
    static Socket connectLoopback(int port);
    // The same with a socket created beforehand (so that options can be set first).
    static Socket connectLoopback(int port, Socket socket);
    // The errno of the latest failed call on this thread.
    static int lastError();

    // Waits for read events on every entry, retrying on EINTR. Returns the
    // number of entries with events, 0 on timeout, -1 on failure.
    static int pollForRead(std::vector<PollEntry>& entries, std::chrono::milliseconds timeout);
    // True when the events carry readable data (normal, band or plain POLLIN).
    static bool isReadable(short revents);
    static bool isHangUp(short revents);

    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Gives the descriptor up without closing it: the caller owns it now.
    // -1 when there was none.
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

    bool bindLoopback(int port);
    bool setNoDelay();
    // The bound local port in host order, or -1.
    int localPort() const;
    bool listen(int backlog);
    bool setNonBlocking();
    bool setSendTimeout(std::chrono::milliseconds timeout);
    bool setReceiveBufferSize(int bytes);
    // Makes the next close send a reset instead of an orderly FIN.
    bool setLingerZero();

    // Accepts one pending connection as a blocking socket. Invalid when none
    // could be taken; wouldBlock tells a vanished or absent peer (EAGAIN,
    // ECONNABORTED) from a real failure.
    Socket accept(bool& wouldBlock);

    // One recv call (retried on EINTR): bytes read, 0 on orderly close, -1 on error.
    long receive(void* buffer, std::size_t size);
    // Writes all bytes (looping over short writes, never raising SIGPIPE).
    // False on failure, including a send timeout.
    bool sendAll(const void* data, std::size_t size);

    // Ends both directions; the descriptor stays open.
    void shutdownBoth();
    // Closes the descriptor now; 0 on success, -1 on failure (the descriptor
    // is released either way).
    int close();

private:
    int fd_ = -1;
};

}  // namespace Tarvent::VirtualChannel
