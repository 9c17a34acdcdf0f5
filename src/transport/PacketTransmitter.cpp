#include "transport/PacketTransmitter.h"

#include <chrono>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "transport/TimeoutException.h"
#include "transport/VirtualChannelException.h"

namespace Tarvent::VirtualChannel {

PacketTransmitter::PacketTransmitter(IPacketDispatcher* dispatcher)
    : timer_([this](Timer*) { checkTimeouts(); }), dispatcher_(dispatcher), outgoing_(kMaxPacketSize)
{
    dispatcher_->setPacketCallback([this](const VCPacketHolder& packet) { onPacket(packet); });
}

#define OVRA_FIELD_ACCESSORS(Type, getter, setter, field)    \
    Type PacketTransmitter::getter()                          \
    {                                                         \
        const std::lock_guard<std::recursive_mutex> lock(stateMutex_); \
        return field;                                         \
    }                                                         \
    void PacketTransmitter::setter(Type value)                \
    {                                                         \
        const std::lock_guard<std::recursive_mutex> lock(stateMutex_); \
        field = value;                                        \
    }

OVRA_FIELD_ACCESSORS(void*, getContext, setContext, context_)
OVRA_FIELD_ACCESSORS(CommandHandler, getCommandHandler, setCommandHandler, commandHandler_)
OVRA_FIELD_ACCESSORS(AnswerHandler, getAnswerHandler, setAnswerHandler, answerHandler_)
OVRA_FIELD_ACCESSORS(TimeoutHandler, getTimeoutHandler, setTimeoutHandler, timeoutHandler_)
OVRA_FIELD_ACCESSORS(NotificationHandler, getNotificationHandler, setNotificationHandler, notificationHandler_)
OVRA_FIELD_ACCESSORS(int, getTimerInterval, setTimerInterval, timerInterval_)
OVRA_FIELD_ACCESSORS(int, getCommandTimeout, setCommandTimeout, commandTimeout_)

#undef OVRA_FIELD_ACCESSORS

void PacketTransmitter::start()
{
    const std::lock_guard<std::recursive_mutex> startStop(startStopMutex_);
    const std::lock_guard<std::recursive_mutex> state(stateMutex_);
    if (running_) {
        return;
    }
    running_ = true;
    timer_.start(std::chrono::milliseconds(timerInterval_), true);
}

void PacketTransmitter::stop()
{
    const std::lock_guard<std::recursive_mutex> startStop(startStopMutex_);
    StateLock state(stateMutex_);
    if (!running_) {
        return;
    }
    running_ = false;
    // Received packets are ignored from now on; only the sweep empties the map.
    // A sweep at once ends the commands that no connection can answer any
    // more (the channel's worker ends before the engine stops), so that the
    // stop does not wait out their deadlines.
    state.unlock();
    checkTimeouts();
    state.lock();
    drained_.wait(state, [this] { return pending_.empty(); });
    state.unlock();
    timer_.stop();
}

void PacketTransmitter::checkSendable(long long size) const
{
    if (!running_) {
        throw VirtualChannelException("PacketTransmitter not running.", VirtualChannelException::kNotRunning);
    }
    if (size < 0 || size > static_cast<long long>(kMaxPayloadSize)) {
        const char* const problem = size < 0 ? "Invalid payload size" : "Payload too large";
        throw VirtualChannelException(std::string(problem) + ": size=" + std::to_string(size) +
                                          "; limit=" + std::to_string(kMaxPayloadSize),
                                      VirtualChannelException::kInvalidPayload);
    }
}

void PacketTransmitter::fill(std::uint8_t type, std::uint8_t code, std::uint64_t messageId, const void* data, int size)
{
    outgoing_.length = static_cast<std::uint32_t>(size) + kPacketHeaderSize;
    outgoing_.type = type;
    outgoing_.code = code;
    outgoing_.messageId = messageId;
    if (size > 0) {
        std::memcpy(outgoing_.payload.get(), data, static_cast<std::size_t>(size));
    }
}

PacketTransmitter::ConnectionId PacketTransmitter::fillAndSend(std::uint8_t type, std::uint8_t code,
                                                               std::uint64_t messageId, const void* data, int size)
{
    fill(type, code, messageId, data, size);
    // A packet the dispatcher could not write is lost; a command waits for its expiry.
    return dispatcher_->sendToActive(outgoing_);
}

bool PacketTransmitter::takeAnswerRoute(std::uint64_t messageId, ConnectionId& connection)
{
    if (handling_ && handled_.messageId == messageId && std::this_thread::get_id() == handlingThread_) {
        handledAnswered_ = true;
        connection = handled_.connection;
        return connection != IPacketDispatcher::kNoConnection;
    }
    for (auto route = lateRoutes_.rbegin(); route != lateRoutes_.rend(); ++route) {
        if (route->messageId == messageId) {
            connection = route->connection;
            lateRoutes_.erase(std::next(route).base());
            return connection != IPacketDispatcher::kNoConnection;
        }
    }
    return false;
}

bool PacketTransmitter::unanswerable(const PendingCommand& command) const
{
    return !running_ && !dispatcher_->isReading(command.connection);
}

std::future<std::optional<VCPacketHolder>> PacketTransmitter::sendPending(const void* data, int size, int timeoutMs,
                                                           bool synchronous, std::uint64_t& messageId)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    checkSendable(size);
    messageId = nextMessageId_++;
    auto command = std::make_unique<PendingCommand>();
    command->connection = fillAndSend(PacketType::Command, 0, messageId, data, size);
    command->synchronous = synchronous;
    command->deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs == -1 ? commandTimeout_ : timeoutMs);
    std::future<std::optional<VCPacketHolder>> future = command->promise.get_future();
    pending_[messageId] = std::move(command);
    timer_.resume();
    return future;
}

std::string PacketTransmitter::sendCommand(const void* data, int size, int timeoutMs)
{
    std::uint64_t messageId = 0;
    std::future<std::optional<VCPacketHolder>> future = sendPending(data, size, timeoutMs, true, messageId);
    const std::optional<VCPacketHolder> result = future.get();
    if (!result) {
        throw TimeoutException(messageId);
    }
    const VCPacketHolder& answer = *result;
    const std::int32_t answerSize = VCPacketHolder::payloadSize(answer);
    if (answerSize <= 0) {
        return std::string();
    }
    return std::string(reinterpret_cast<const char*>(answer.payload.get()), static_cast<std::size_t>(answerSize));
}

std::uint64_t PacketTransmitter::sendCommandAsync(const void* data, int size, int timeoutMs)
{
    std::uint64_t messageId = 0;
    sendPending(data, size, timeoutMs, false, messageId);
    return messageId;
}

void PacketTransmitter::sendNotification(std::uint8_t code, const char* text)
{
    const auto size = static_cast<long long>(std::strlen(text)) + 1;
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    checkSendable(size);
    fillAndSend(PacketType::Notification, code, nextMessageId_++, text, static_cast<int>(size));
}

void PacketTransmitter::sendAnswer(const void* data, int size, std::uint64_t messageId)
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    checkSendable(size);
    fill(PacketType::Answer, 0, messageId, data, size);
    // Not to the active connection: a packet from another one may have made
    // that one active while the command was handled, and its asker would
    // never hear back.
    ConnectionId connection = IPacketDispatcher::kNoConnection;
    if (takeAnswerRoute(messageId, connection)) {
        dispatcher_->sendTo(connection, outgoing_);
    } else {
        dispatcher_->send(outgoing_);
    }
}

void PacketTransmitter::onPacket(const VCPacketHolder& packet)
{
    CommandHandler commandHandler = nullptr;
    AnswerHandler answerHandler = nullptr;
    NotificationHandler notificationHandler = nullptr;
    void* context = nullptr;
    {
        const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
        if (!running_) {
            return;
        }
        switch (packet.type) {
        case PacketType::Command:
            commandHandler = commandHandler_;
            if (commandHandler != nullptr) {
                handling_ = true;
                handledAnswered_ = false;
                handled_ = AnswerRoute{packet.messageId, dispatcher_->sourceConnection()};
                handlingThread_ = std::this_thread::get_id();
            }
            break;
        case PacketType::Answer: {
            const auto entry = pending_.find(packet.messageId);
            if (entry == pending_.end()) {
                break;
            }
            entry->second->promise.set_value(packet);
            if (!entry->second->synchronous) {
                answerHandler = answerHandler_;
            }
            pending_.erase(entry);
            break;
        }
        case PacketType::Notification:
            notificationHandler = notificationHandler_;
            break;
        default:
            break;
        }
        context = context_;
    }
    const void* payload = packet.payload.get();
    const int size = VCPacketHolder::payloadSize(packet);
    if (commandHandler != nullptr) {
        try {
            commandHandler(context, payload, size, packet.messageId);
        } catch (...) {
            endHandling();
            throw;
        }
        endHandling();
    } else if (answerHandler != nullptr) {
        answerHandler(context, payload, size, packet.messageId);
    } else if (notificationHandler != nullptr) {
        notificationHandler(context, packet.code, payload);
    }
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    if (pending_.empty()) {
        drained_.notify_all();
    }
}

void PacketTransmitter::endHandling()
{
    const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
    if (!handledAnswered_) {
        lateRoutes_.push_back(handled_);
        if (lateRoutes_.size() > kMaxLateRoutes) {
            lateRoutes_.pop_front();
        }
    }
    handling_ = false;
}

void PacketTransmitter::checkTimeouts()
{
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::uint64_t> expired;
    TimeoutHandler handler = nullptr;
    void* context = nullptr;
    {
        const std::lock_guard<std::recursive_mutex> lock(stateMutex_);
        handler = timeoutHandler_;
        context = context_;
        for (auto entry = pending_.begin(); entry != pending_.end();) {
            if (!(entry->second->deadline < now) && !unanswerable(*entry->second)) {
                ++entry;
                continue;
            }
            if (entry->second->synchronous) {
                entry->second->promise.set_value(std::nullopt);
            } else {
                expired.push_back(entry->first);
            }
            entry = pending_.erase(entry);
            if (pending_.empty()) {
                drained_.notify_all();
            }
        }
        if (pending_.empty()) {
            // Nothing to expire: the sweep sleeps until the next command.
            timer_.suspend();
        }
    }
    if (handler != nullptr) {
        for (const std::uint64_t messageId : expired) {
            handler(context, messageId);
        }
    }
}

}  // namespace Tarvent::VirtualChannel
