#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "transport/IPacketDispatcher.h"
#include "transport/IPacketTransmitter.h"
#include "transport/PendingCommand.h"
#include "transport/VCPacketHolder.h"
#include "util/Timer.h"

namespace Tarvent::VirtualChannel {

// Numbers and sends the engine's commands, answers and notifications, routes
// received packets to the handlers and expires unanswered commands (a sweep
// every timer interval while any command waits for its answer; none while
// nothing waits).
// Commands and notifications go to the dispatcher's active connection; an
// answer goes to the connection its command came from, whichever is active
// by then (to the active one only for a command this transmitter never saw).
// While stopping, a command whose connection can no longer answer expires at
// once instead of at its deadline.
// `dispatcher` must outlive this object; the transmitter must be stopped and
// the dispatcher's worker ended before it is destroyed.
// Threads: any thread sends; received packets and their handlers run on the
// dispatcher's worker; the sweep and the TimeoutHandler run on the Timer's
// thread; start/stop on the owner's thread. Handlers run with no lock held.
class PacketTransmitter : public IPacketTransmitter {
public:
    explicit PacketTransmitter(IPacketDispatcher* dispatcher);
    ~PacketTransmitter() override = default;

    PacketTransmitter(const PacketTransmitter&) = delete;
    PacketTransmitter& operator=(const PacketTransmitter&) = delete;

    void* getContext() override;
    void setContext(void* context) override;
    CommandHandler getCommandHandler() override;
    void setCommandHandler(CommandHandler handler) override;
    AnswerHandler getAnswerHandler() override;
    void setAnswerHandler(AnswerHandler handler) override;
    TimeoutHandler getTimeoutHandler() override;
    void setTimeoutHandler(TimeoutHandler handler) override;
    NotificationHandler getNotificationHandler() override;
    void setNotificationHandler(NotificationHandler handler) override;
    int getTimerInterval() override;
    void setTimerInterval(int milliseconds) override;
    int getCommandTimeout() override;
    void setCommandTimeout(int milliseconds) override;

    void start() override;
    // Returns once every pending command has been answered or has expired;
    // one whose connection is gone or no longer read expires at once.
    void stop() override;

    // The send operations throw VirtualChannelException when not running
    // (code 0) or for a payload of negative size or above 2024 bytes (code 1).
    std::string sendCommand(const void* data, int size, int timeoutMs) override;
    std::uint64_t sendCommandAsync(const void* data, int size, int timeoutMs) override;
    void sendNotification(std::uint8_t code, const char* text) override;
    void sendAnswer(const void* data, int size, std::uint64_t messageId) override;

private:
    using StateLock = std::unique_lock<std::recursive_mutex>;

    void onPacket(const VCPacketHolder& packet);
    void checkTimeouts();

    using ConnectionId = IPacketDispatcher::ConnectionId;
    // Where the answer to a received command goes.
    struct AnswerRoute {
        std::uint64_t messageId = 0;
        ConnectionId connection = IPacketDispatcher::kNoConnection;
    };
    // Commands whose handler returned without answering (an answer may come
    // later from another thread) keep their route this long, newest last.
    static constexpr std::size_t kMaxLateRoutes = 64;

    // All expect stateMutex_ held.
    void checkSendable(long long size) const;
    void fill(std::uint8_t type, std::uint8_t code, std::uint64_t messageId, const void* data, int size);
    // The active connection takes the packet; which one did, if any.
    ConnectionId fillAndSend(std::uint8_t type, std::uint8_t code, std::uint64_t messageId, const void* data,
                             int size);
    // After a command's handler returned: an answer still to come keeps its route.
    void endHandling();
    // Takes the route of the answer `messageId`: nothing when none is known.
    bool takeAnswerRoute(std::uint64_t messageId, ConnectionId& connection);
    // Whether `command` can no longer be answered: stopping, and its
    // connection does not read any more.
    bool unanswerable(const PendingCommand& command) const;
    std::future<std::optional<VCPacketHolder>> sendPending(const void* data, int size, int timeoutMs, bool synchronous,
                                            std::uint64_t& messageId);

    // Guards every field below and the pending map; taken after startStopMutex_
    // and before the dispatcher's mutex and the Timer's own lock.
    std::recursive_mutex stateMutex_;
    // Serialises start() and stop(); first in the lock order.
    std::recursive_mutex startStopMutex_;
    // Signalled when the pending map becomes empty.
    std::condition_variable_any drained_;
    Timer timer_;
    void* context_ = nullptr;
    CommandHandler commandHandler_ = nullptr;
    AnswerHandler answerHandler_ = nullptr;
    TimeoutHandler timeoutHandler_ = nullptr;
    NotificationHandler notificationHandler_ = nullptr;
    bool running_ = false;
    IPacketDispatcher* const dispatcher_;
    VCPacketHolder outgoing_;
    std::uint64_t nextMessageId_ = 1;
    int timerInterval_ = 250;
    int commandTimeout_ = 5000;
    std::unordered_map<std::uint64_t, std::unique_ptr<PendingCommand>> pending_;
    // The command whose handler runs now on `handlingThread_` (the
    // dispatcher's worker); its answer is sent during that call.
    bool handling_ = false;
    bool handledAnswered_ = false;
    AnswerRoute handled_;
    std::thread::id handlingThread_;
    std::deque<AnswerRoute> lateRoutes_;
};

}  // namespace Tarvent::VirtualChannel
