#include "transport/PacketDispatcher.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "logging/Logger.h"
#include "platform/DescriptorLimit.h"

namespace Tarvent::VirtualChannel {

namespace {

std::int64_t steadyNowNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void logActiveChange(int oldIndex, int newIndex, int count)
{
    logInfo("Changed active socket connection: oldConnectionId=%d; newConnectionId=%d; connectionCount=%d", oldIndex,
            newIndex, count);
}

// At most half of the process's descriptors go to clients: the SIP stack,
// its calls and the log files need theirs, and a local process that opens
// connections must not take the last ones.
int connectionLimit(int wanted)
{
    const long descriptors = descriptorLimit();
    if (descriptors > 0 && descriptors / 2 < wanted) {
        return static_cast<int>(std::max(1L, descriptors / 2));
    }
    return wanted;
}

}  // namespace

PacketDispatcher::Connection::Connection(Socket acceptedSocket, ConnectionId connectionId)
    : socket(std::move(acceptedSocket)), id(connectionId), lastActivity(steadyNowNanoseconds())
{
}

PacketDispatcher::PacketDispatcher(std::chrono::milliseconds pollTimeout,
                                   std::chrono::milliseconds idleTimeout,
                                   std::chrono::milliseconds sendTimeout,
                                   int maxConnections)
    : pollTimeout_(pollTimeout),
      idleTimeout_(idleTimeout),
      sendTimeout_(sendTimeout),
      maxConnections_(connectionLimit(maxConnections)),
      acceptBackoff_(kFirstAcceptPause, kMaxAcceptPause)
{
}

PacketDispatcher::~PacketDispatcher()
{
    if (thread_.joinable()) {
        requestStop();
        thread_.join();
    }
}

IPacketDispatcher::PacketCallback PacketDispatcher::getPacketCallback()
{
    const std::lock_guard<std::mutex> lock(callbackMutex_);
    return packetCallback_;
}

void PacketDispatcher::setPacketCallback(PacketCallback callback)
{
    const std::lock_guard<std::mutex> lock(callbackMutex_);
    packetCallback_ = std::move(callback);
}

bool PacketDispatcher::start()
{
    if (thread_.joinable() || passiveSocket_.valid()) {
        return false;
    }
    logInfo("Creating passive socket: type=inet");
    Socket socket = Socket::createTcp();
    if (!socket.valid()) {
        logError("Failed to create passive socket: errno=%d", Socket::lastError());
        return false;
    }
    logInfo("Binding passive socket");
    if (!socket.bindLoopback(0)) {
        logError("Failed to bind passive socket: errno=%d", Socket::lastError());
        closeSocket(socket);
        return false;
    }
    logInfo("Disabling packet buffering");
    if (!socket.setNoDelay()) {
        logError("Failed to disable packet buffering: errno=%d", Socket::lastError());
        closeSocket(socket);
        return false;
    }
    return startListening(std::move(socket), false);
}

bool PacketDispatcher::start(Socket listening)
{
    if (thread_.joinable() || passiveSocket_.valid() || !listening.valid()) {
        return false;
    }
    logInfo("Taking over passive socket: fd=%d", listening.fd());
    // Connections accepted before this inherit the option from the listener
    // only if it was set there already; the opener sets it before listening.
    if (!listening.setNoDelay()) {
        logError("Failed to disable packet buffering: errno=%d", Socket::lastError());
        closeSocket(listening);
        return false;
    }
    return startListening(std::move(listening), true);
}

bool PacketDispatcher::startListening(Socket socket, bool listening)
{
    const int boundPort = socket.localPort();
    if (boundPort < 0) {
        logError("Failed to get socket port: errno=%d", Socket::lastError());
        closeSocket(socket);
        return false;
    }
    port_ = boundPort;
    logInfo("Starting listening with passive socket: port=%d", boundPort);
    logInfo("Connection limit: connectionLimit=%d", maxConnections_);
    // Non-blocking so that a client that vanishes between poll and accept
    // cannot stall the worker in accept.
    if ((!listening && !socket.listen(kListenBacklog)) || !socket.setNonBlocking()) {
        logError("Failed to listen with passive socket: errno=%d", Socket::lastError());
        closeSocket(socket);
        return false;
    }
    passiveSocket_ = std::move(socket);
    stopRequested_ = false;
    reading_ = true;
    thread_ = std::thread(&PacketDispatcher::workerLoop, this);
    return true;
}

void PacketDispatcher::requestStop()
{
    stopRequested_ = true;
}

void PacketDispatcher::join()
{
    thread_.join();
}

void PacketDispatcher::workerLoop()
{
    logInfo("Started worker thread");
    try {
        runPollCycles();
    } catch (const std::exception& e) {
        logError("Unexpected error in worker thread: %s", e.what());
    } catch (...) {
        logError("Unexpected error in worker thread: unknown exception");
    }
    // Connections stay open until the dispatcher goes, but nothing reads them:
    // whoever waits for an answer on one waits in vain from now on.
    reading_ = false;
    acceptBackoff_.finish();
    logInfo("Closing passive socket");
    passiveSocket_.shutdownBoth();
    if (passiveSocket_.close() != 0) {
        logError("Failed to close passive socket: errno=%d", Socket::lastError());
    }
    logInfo("Stopped worker thread");
}

void PacketDispatcher::runPollCycles()
{
    workerCallback_ = getPacketCallback();
    std::vector<Socket::PollEntry> entries;
    while (!stopRequested_) {
        const int count = connectionCount();
        entries.assign(static_cast<std::size_t>(count) + 1, Socket::PollEntry{});
        // A resting listener is left out of the poll (a negative descriptor is
        // skipped); the poll wakes when the pause ends.
        const auto acceptPause = acceptBackoff_.delay(AcceptBackoff::Clock::now());
        entries[0].fd = acceptPause.count() > 0 ? -1 : passiveSocket_.fd();
        for (int i = 0; i < count; ++i) {
            entries[i + 1].fd = connections_[i]->socket.fd();
        }
        const auto timeout = acceptPause.count() > 0 ? std::min(pollTimeout_, acceptPause) : pollTimeout_;
        if (Socket::pollForRead(entries, timeout) < 0) {
            logError("Failed to poll sockets: errno=%d", Socket::lastError());
            break;
        }
        for (int i = 0; i < count; ++i) {
            const short revents = entries[i + 1].revents;
            // A sender may have shut this one down already; it only awaits removal.
            if (revents == 0 || connections_[i]->closed) {
                continue;
            }
            if (!Socket::isReadable(revents)) {
                if (Socket::isHangUp(revents)) {
                    logInfo("Socket connection terminated by client: connectionId=%d; connectionCount=%d", i,
                            connectionCount());
                } else {
                    logError("Error happened on active socket: revents=%d; connectionId=%d; connectionCount=%d",
                             static_cast<int>(revents), i, connectionCount());
                }
                closeConnection(i);
            } else if (readFromConnection(i)) {
                const std::lock_guard<std::recursive_mutex> lock(mutex_);
                if (i != activeIndex_) {
                    logActiveChange(activeIndex_, i, connectionCount());
                    activeIndex_ = i;
                }
            } else {
                closeConnection(i);
            }
        }
        const short passiveEvents = entries[0].revents;
        if (passiveEvents != 0) {
            if (!Socket::isReadable(passiveEvents)) {
                logError("Error happened on passive socket: revents=%d", static_cast<int>(passiveEvents));
                stopRequested_ = true;
            } else {
                // A burst of connections that queued while a command was
                // handled is taken at once: the backlog is short, and a client
                // that finds it full waits a second for its next try.
                for (int taken = 0; taken < kMaxAcceptsPerCycle && acceptConnection(); ++taken) {
                }
            }
        }
        sweepIdleConnections();
        removeClosedConnections();
    }
}

bool PacketDispatcher::acceptConnection()
{
    bool wouldBlock = false;
    Socket socket = passiveSocket_.accept(wouldBlock);
    if (!socket.valid()) {
        if (wouldBlock) {
            acceptBackoff_.onAcceptWorked();
        } else {
            acceptBackoff_.onFailure(Socket::lastError(), AcceptBackoff::Clock::now());
        }
        return false;
    }
    acceptBackoff_.onAcceptWorked();
    // Connections closed in this cycle still have their records; they count no more.
    const int open = static_cast<int>(std::count_if(connections_.begin(), connections_.end(),
                                                    [](const auto& connection) { return !connection->closed; }));
    if (open >= maxConnections_) {
        // Taken from the backlog and closed, so that the client learns it at
        // once and the listener does not stay readable for nothing.
        acceptBackoff_.onRefused(open, maxConnections_);
        closeSocket(socket);
        return true;
    }
    acceptBackoff_.onKept();
    if (!socket.setSendTimeout(sendTimeout_)) {
        logWarning("Failed to set send timeout: errno=%d", Socket::lastError());
    }
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    connections_.push_back(std::make_unique<Connection>(std::move(socket), nextConnectionId_++));
    const int index = connectionCount() - 1;
    logInfo("Accepted incoming connection: connectionId=%d; connectionCount=%d", index, connectionCount());
    if (activeIndex_ == -1) {
        logActiveChange(-1, index, connectionCount());
        activeIndex_ = index;
    }
    return true;
}

bool PacketDispatcher::readFromConnection(int index)
{
    Connection& connection = *connections_[index];
    PacketReader& reader = connection.reader;
    const long received = connection.socket.receive(reader.writePointer(), reader.bytesWanted());
    if (received <= 0) {
        logError("Failed to read from socket: receivedBytes=%d; errno=%d; connectionId=%d; connectionCount=%d",
                 static_cast<int>(received), received == 0 ? 0 : Socket::lastError(), index, connectionCount());
        return false;
    }
    switch (reader.commit(static_cast<std::size_t>(received))) {
    case PacketReader::Result::NeedMore:
        return true;
    case PacketReader::Result::InvalidLength:
        logError("Invalid packet length: length=%u; connectionId=%d; connectionCount=%d",
                 static_cast<unsigned>(reader.packet().length), index, connectionCount());
        return false;
    case PacketReader::Result::PacketReady:
        sourceConnection_ = connection.id;
        deliver(reader.packet());
        sourceConnection_ = kNoConnection;
        connection.lastActivity = steadyNowNanoseconds();
        return true;
    }
    return true;
}

void PacketDispatcher::deliver(const VCPacketHolder& packet)
{
    const PacketCallback& callback = workerCallback_;
    if (!callback) {
        return;
    }
    // Nothing may leave the worker thread: a throwing callback costs one packet.
    try {
        callback(packet);
    } catch (const std::exception& e) {
        logError("Packet callback failed: messageId=%llu; error=%s",
                 static_cast<unsigned long long>(packet.messageId), e.what());
    } catch (...) {
        logError("Packet callback failed: messageId=%llu; error=unknown exception",
                 static_cast<unsigned long long>(packet.messageId));
    }
}

// Callable by the worker without the mutex (only the worker changes the list)
// and by a sender with it held.
void PacketDispatcher::closeConnection(int index)
{
    Connection& connection = *connections_[index];
    bool expected = false;
    // Whoever claims `closed` first shuts the socket down; the descriptor itself
    // is closed by the worker when it removes the record.
    if (!connection.closed.compare_exchange_strong(expected, true)) {
        return;
    }
    logInfo("Closing active socket: connectionId=%d; connectionCount=%d", index, connectionCount());
    connection.socket.shutdownBoth();
}

void PacketDispatcher::closeSocket(Socket& socket)
{
    socket.shutdownBoth();
    socket.close();
}

void PacketDispatcher::sweepIdleConnections()
{
    const std::int64_t threshold =
        steadyNowNanoseconds() - std::chrono::duration_cast<std::chrono::nanoseconds>(idleTimeout_).count();
    for (int i = 0; i < connectionCount(); ++i) {
        const Connection& connection = *connections_[i];
        if (i != activeIndex_ && !connection.closed && connection.lastActivity < threshold) {
            logInfo("Closing idle connection: connectionId=%d; connectionCount=%d", i, connectionCount());
            closeConnection(i);
        }
    }
}

void PacketDispatcher::removeClosedConnections()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    for (int i = connectionCount() - 1; i >= 0; --i) {
        Connection& connection = *connections_[i];
        if (!connection.closed) {
            continue;
        }
        if (connection.socket.close() != 0) {
            logError("Failed to close active socket: errno=%d; connectionId=%d; connectionCount=%d",
                     Socket::lastError(), i, connectionCount());
        }
        connections_.erase(connections_.begin() + i);
        logInfo("Removed socket connection: oldConnectionId=%d; connectionCount=%d", i, connectionCount());
        if (i == activeIndex_) {
            logActiveChange(i, -1, connectionCount());
            activeIndex_ = -1;
        } else if (i < activeIndex_) {
            logActiveChange(activeIndex_, activeIndex_ - 1, connectionCount());
            --activeIndex_;
        }
    }
}

bool PacketDispatcher::send(const VCPacketHolder& packet)
{
    return sendToActive(packet) != kNoConnection;
}

IPacketDispatcher::ConnectionId PacketDispatcher::sendToActive(const VCPacketHolder& packet)
{
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (activeIndex_ < 0) {
        logError("Unable to send packet because no connection is active: messageId=%llu",
                 static_cast<unsigned long long>(packet.messageId));
        return kNoConnection;
    }
    const int index = activeIndex_;
    return writeLocked(index, packet) ? connections_[index]->id : kNoConnection;
}

bool PacketDispatcher::sendTo(ConnectionId connection, const VCPacketHolder& packet)
{
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    const int index = indexOf(connection);
    if (index < 0) {
        logError("Unable to send packet because connection is closed: messageId=%llu",
                 static_cast<unsigned long long>(packet.messageId));
        return false;
    }
    return writeLocked(index, packet);
}

bool PacketDispatcher::isReading(ConnectionId connection)
{
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    const int index = indexOf(connection);
    return reading_ && index >= 0 && !connections_[index]->closed;
}

int PacketDispatcher::indexOf(ConnectionId connection) const
{
    for (int i = 0; i < connectionCount(); ++i) {
        if (connections_[i]->id == connection) {
            return i;
        }
    }
    return -1;
}

bool PacketDispatcher::writeLocked(int index, const VCPacketHolder& packet)
{
    const auto messageId = static_cast<unsigned long long>(packet.messageId);
    Connection& connection = *connections_[index];
    if (connection.closed) {
        logError("Unable to send packet because connection is closed: messageId=%llu", messageId);
        return false;
    }
    const std::int32_t payloadSize = VCPacketHolder::payloadSize(packet);
    if (payloadSize < 0 || static_cast<std::uint32_t>(payloadSize) > kMaxPayloadSize ||
        static_cast<std::uint32_t>(payloadSize) > packet.capacity()) {
        logError("Unable to send packet because its length is invalid: messageId=%llu; length=%u", messageId,
                 static_cast<unsigned>(packet.length));
        return false;
    }
    VCPacketHolder::writeHeader(packet, sendBuffer_);
    if (payloadSize > 0) {
        std::memcpy(sendBuffer_ + kPacketHeaderSize, packet.payload.get(), static_cast<std::size_t>(payloadSize));
    }
    if (!connection.socket.sendAll(sendBuffer_, packet.length)) {
        logError("Failed to write to socket: errno=%d", Socket::lastError());
        closeConnection(index);
        return false;
    }
    return true;
}

}  // namespace Tarvent::VirtualChannel
