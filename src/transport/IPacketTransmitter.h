#pragma once

#include <cstdint>
#include <string>

namespace Tarvent::VirtualChannel {

// Handlers get the registered context first; a payload pointer is valid only
// during the call.
using CommandHandler = void (*)(void* context, const void* payload, int size, std::uint64_t messageId);
using AnswerHandler = void (*)(void* context, const void* payload, int size, std::uint64_t messageId);
using TimeoutHandler = void (*)(void* context, std::uint64_t messageId);
using NotificationHandler = void (*)(void* context, std::uint8_t code, const void* payload);

// The request/answer layer over the packet dispatcher.
class IPacketTransmitter {
public:
    virtual ~IPacketTransmitter() = default;
    virtual void* getContext() = 0;
    virtual void setContext(void* context) = 0;
    virtual CommandHandler getCommandHandler() = 0;
    virtual void setCommandHandler(CommandHandler handler) = 0;
    virtual AnswerHandler getAnswerHandler() = 0;
    virtual void setAnswerHandler(AnswerHandler handler) = 0;
    virtual TimeoutHandler getTimeoutHandler() = 0;
    virtual void setTimeoutHandler(TimeoutHandler handler) = 0;
    virtual NotificationHandler getNotificationHandler() = 0;
    virtual void setNotificationHandler(NotificationHandler handler) = 0;
    virtual int getTimerInterval() = 0;
    virtual void setTimerInterval(int milliseconds) = 0;
    virtual int getCommandTimeout() = 0;
    virtual void setCommandTimeout(int milliseconds) = 0;
    virtual void start() = 0;
    virtual void stop() = 0;
    // Blocks until the answer (its payload is returned) or throws TimeoutException.
    // timeoutMs -1 means the command timeout.
    virtual std::string sendCommand(const void* data, int size, int timeoutMs) = 0;
    // Returns the message id at once; the answer or the expiry reaches a handler.
    virtual std::uint64_t sendCommandAsync(const void* data, int size, int timeoutMs) = 0;
    virtual void sendNotification(std::uint8_t code, const char* text) = 0;
    virtual void sendAnswer(const void* data, int size, std::uint64_t messageId) = 0;
};

}  // namespace Tarvent::VirtualChannel
