#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Socket.h"
#include "transport/AcceptBackoff.h"
#include "transport/IPacketDispatcher.h"
#include "transport/PacketReader.h"

namespace Tarvent::VirtualChannel {

// The loopback TCP server of the channel: listens on 127.0.0.1 at a port the
// system picks, reads framed packets from every accepted connection and hands
// them to the packet callback, and writes packets to the active connection.
// One worker thread polls, accepts, reads, closes and removes connections;
// the sends run on any caller's thread. requestStop() may be called from any
// thread; join() from any thread but the worker.
// At most maxConnections are kept open (fewer when half of the process's
// descriptor limit is less); connections beyond are closed at once. After a failed accept (descriptors ran out) the listener rests for a
// growing pause while the open connections are served on.
class PacketDispatcher : public IPacketDispatcher {
public:
    static constexpr std::chrono::milliseconds kDefaultPollTimeout{500};
    static constexpr std::chrono::milliseconds kDefaultIdleTimeout{60000};
    static constexpr std::chrono::milliseconds kDefaultSendTimeout{2000};
    // The driver keeps one or two connections; the rest of the room is for
    // reconnects that overlap an old connection not yet found dead.
    static constexpr int kDefaultMaxConnections = 64;
    // The pauses of the listener after failed accepts: doubling from the first.
    static constexpr std::chrono::milliseconds kFirstAcceptPause{50};
    static constexpr std::chrono::milliseconds kMaxAcceptPause{1000};
    // Connections the kernel may hold before the worker accepts them.
    static constexpr int kListenBacklog = 10;
    // The most connections taken from the backlog in one poll cycle.
    static constexpr int kMaxAcceptsPerCycle = 8;

    // `sendTimeout` bounds a write to a client that stopped reading; such a
    // write fails and closes that connection.
    explicit PacketDispatcher(std::chrono::milliseconds pollTimeout = kDefaultPollTimeout,
                              std::chrono::milliseconds idleTimeout = kDefaultIdleTimeout,
                              std::chrono::milliseconds sendTimeout = kDefaultSendTimeout,
                              int maxConnections = kDefaultMaxConnections);
    // Stops and joins the worker if the owner has not done so.
    ~PacketDispatcher() override;

    PacketDispatcher(const PacketDispatcher&) = delete;
    PacketDispatcher& operator=(const PacketDispatcher&) = delete;

    PacketCallback getPacketCallback() override;
    void setPacketCallback(PacketCallback callback) override;
    bool send(const VCPacketHolder& packet) override;
    ConnectionId sendToActive(const VCPacketHolder& packet) override;
    bool sendTo(ConnectionId connection, const VCPacketHolder& packet) override;
    ConnectionId sourceConnection() const override { return sourceConnection_.load(); }
    bool isReading(ConnectionId connection) override;

    // Opens the listening socket and starts the worker; false on failure or
    // when already started. Throws std::system_error if no thread can be made.
    bool start();
    // The same with a socket that is already bound to loopback and listening
    // (opened before the engine was loaded, so that clients could connect
    // early; they are accepted once the worker runs). Takes the socket even
    // when it returns false.
    bool start(Socket listening);
    // The listening port after start(), -1 before.
    int port() const { return port_.load(); }
    void requestStop();
    // Standard thread-join rules apply.
    void join();

private:
    // One accepted client. The worker alone reads from it and closes its
    // descriptor (when it removes the record, under mutex_); a sender may only
    // claim `closed` and shut the socket down.
    struct Connection {
        Connection(Socket acceptedSocket, ConnectionId connectionId);

        Socket socket;
        const ConnectionId id;
        PacketReader reader;
        std::atomic<bool> closed{false};
        std::atomic<std::int64_t> lastActivity{0};
    };

    // The common tail of both starts: records the port, listens unless the
    // socket does already, and runs the worker.
    bool startListening(Socket socket, bool listening);
    void workerLoop();
    void runPollCycles();
    // Takes one connection from the backlog (kept or refused); false when
    // none was there or the accept failed.
    bool acceptConnection();
    bool readFromConnection(int index);
    // The connection's index, or -1 when it is gone. Caller holds mutex_ or is the worker.
    int indexOf(ConnectionId connection) const;
    // Writes to the connection at `index`. Caller holds mutex_.
    bool writeLocked(int index, const VCPacketHolder& packet);
    void deliver(const VCPacketHolder& packet);
    void closeConnection(int index);
    void closeSocket(Socket& socket);
    void removeClosedConnections();
    void sweepIdleConnections();
    int connectionCount() const { return static_cast<int>(connections_.size()); }

    std::thread thread_;
    Socket passiveSocket_;
    unsigned char sendBuffer_[kMaxPacketSize] = {};  // guarded by mutex_
    PacketCallback packetCallback_;                   // set before start(); guarded by callbackMutex_
    PacketCallback workerCallback_;                   // the worker's copy, taken when it starts
    const std::chrono::milliseconds pollTimeout_;
    const std::chrono::milliseconds idleTimeout_;
    const std::chrono::milliseconds sendTimeout_;
    const int maxConnections_;
    AcceptBackoff acceptBackoff_;  // worker only
    std::atomic<bool> stopRequested_{false};
    // True from start() until the worker stops reading.
    std::atomic<bool> reading_{false};
    // The connection whose packet the callback is handling; worker writes.
    std::atomic<ConnectionId> sourceConnection_{kNoConnection};
    ConnectionId nextConnectionId_ = 1;  // worker only
    // Guards the connection list, the active index and the send buffer. The
    // worker changes the list and the index only with it held and may read them
    // without it; senders read them only with it held. Taken after the
    // transmitter's state mutex and before the Logger's.
    std::recursive_mutex mutex_;
    // Guards packetCallback_ only; never held while the callback runs.
    std::mutex callbackMutex_;
    std::vector<std::unique_ptr<Connection>> connections_;
    int activeIndex_ = -1;
    std::atomic<int> port_{-1};
};

}  // namespace Tarvent::VirtualChannel
