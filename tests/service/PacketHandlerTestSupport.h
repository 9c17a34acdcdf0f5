#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "logging/LogArchive.h"
#include "proto/citrixMessage.pb.h"
#include "service/AccountService.h"
#include "service/AudioDeviceManagerService.h"
#include "service/AudioPlayerService.h"
#include "service/AudioRecorderService.h"
#include "service/CallService.h"
#include "service/PacketHandler.h"
#include "service/SipStackFacade.h"
#include "support/CapturingAppender.h"
#include "support/TempDir.h"
#include "transport/IPacketTransmitter.h"
#include "transport/TransportTestUtil.h"

namespace Tarvent::VirtualChannel::TestSupport {

// Stands in for the transmitter: keeps what the handler sends, numbers the
// notifications from 1, refuses payloads over the packet limit as the real
// one does and can refuse to send as a stopped transmitter does. Any thread.
class RecordingTransmitter : public IPacketTransmitter {
public:
    struct Sent {
        bool isAnswer = false;
        std::uint64_t messageId = 0;
        Proto::CitrixMessage message;
    };

    void* getContext() override { return context_; }
    void setContext(void* context) override { context_ = context; }
    CommandHandler getCommandHandler() override { return commandHandler_; }
    void setCommandHandler(CommandHandler handler) override { commandHandler_ = handler; }
    AnswerHandler getAnswerHandler() override { return answerHandler_; }
    void setAnswerHandler(AnswerHandler handler) override { answerHandler_ = handler; }
    TimeoutHandler getTimeoutHandler() override { return timeoutHandler_; }
    void setTimeoutHandler(TimeoutHandler handler) override { timeoutHandler_ = handler; }
    NotificationHandler getNotificationHandler() override { return nullptr; }
    void setNotificationHandler(NotificationHandler) override {}
    int getTimerInterval() override { return 250; }
    void setTimerInterval(int) override {}
    int getCommandTimeout() override { return 5000; }
    void setCommandTimeout(int) override {}
    void start() override {}
    void stop() override {}
    std::string sendCommand(const void*, int, int) override { return std::string(); }
    std::uint64_t sendCommandAsync(const void* data, int size, int timeoutMs) override;
    void sendNotification(std::uint8_t, const char*) override {}
    void sendAnswer(const void* data, int size, std::uint64_t messageId) override;

    // Sends a command to the handler as the dispatcher's worker would.
    void deliver(const Proto::CitrixMessage& message, std::uint64_t messageId);
    void deliverRaw(const std::string& payload, std::uint64_t messageId);

    std::vector<Sent> sent();
    // Delivers `request` and returns the one answer it got, sent with
    // `messageId`; a default message (and a test failure) otherwise.
    Proto::CitrixMessage answerTo(const Proto::CitrixMessage& request, std::uint64_t messageId);
    // Waits up to 10 s for `count` packets in all.
    bool waitForCount(std::size_t count);
    void refuse(bool refuse) { refuse_ = refuse; }

private:
    void record(bool isAnswer, const void* data, int size, std::uint64_t messageId);

    std::mutex mutex_;  // guards sent_, nextId_
    std::condition_variable changed_;
    std::vector<Sent> sent_;
    std::uint64_t nextId_ = 1;
    std::atomic<bool> refuse_{false};
    void* context_ = nullptr;
    CommandHandler commandHandler_ = nullptr;
    AnswerHandler answerHandler_ = nullptr;
    TimeoutHandler timeoutHandler_ = nullptr;
};

// The Ack inside any answer that carries one (the default instance otherwise).
const Proto::Ack& ackOf(const Proto::CitrixMessage& answer);

// The level of the first captured line holding `text`, or -1.
int levelOf(LogCapture& capture, const std::string& text);

// A PacketHandler wired with the real services, as the application wires it,
// over a RecordingTransmitter (or a given transmitter). Test thread.
class HandlerRig {
public:
    explicit HandlerRig(IPacketTransmitter* transmitter = nullptr,
                        std::chrono::milliseconds idlePeriod = PacketHandler::kIdlePeriod);
    ~HandlerRig();

    RecordingTransmitter recorder;
    TempDir dir;
    SipStackFacade facade;
    std::unique_ptr<PacketHandler> handler;
    std::unique_ptr<CallService> callService;
    std::unique_ptr<AccountService> accountService;
    std::unique_ptr<AudioDeviceManagerService> deviceService;
    std::unique_ptr<AudioPlayerService> playerService;
    std::unique_ptr<AudioRecorderService> recorderService;
    std::unique_ptr<LogArchive> logArchive;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
