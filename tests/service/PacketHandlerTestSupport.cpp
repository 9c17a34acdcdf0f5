#include "service/PacketHandlerTestSupport.h"

#include <chrono>

#include "transport/VirtualChannelException.h"

namespace Tarvent::VirtualChannel::TestSupport {

std::uint64_t RecordingTransmitter::sendCommandAsync(const void* data, int size, int)
{
    if (refuse_) {
        throw VirtualChannelException("PacketTransmitter not running.", VirtualChannelException::kNotRunning);
    }
    if (size > static_cast<int>(PacketHandler::kMaxPayloadSize)) {
        throw VirtualChannelException("Payload too large.", VirtualChannelException::kInvalidPayload);
    }
    std::uint64_t id = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        id = nextId_++;
    }
    record(false, data, size, id);
    return id;
}

void RecordingTransmitter::sendAnswer(const void* data, int size, std::uint64_t messageId)
{
    if (refuse_) {
        throw VirtualChannelException("PacketTransmitter not running.", VirtualChannelException::kNotRunning);
    }
    record(true, data, size, messageId);
}

void RecordingTransmitter::record(bool isAnswer, const void* data, int size, std::uint64_t messageId)
{
    Sent sent;
    sent.isAnswer = isAnswer;
    sent.messageId = messageId;
    sent.message.ParseFromArray(data, size);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        sent_.push_back(std::move(sent));
    }
    changed_.notify_all();
}

void RecordingTransmitter::deliver(const Proto::CitrixMessage& message, std::uint64_t messageId)
{
    deliverRaw(message.SerializeAsString(), messageId);
}

void RecordingTransmitter::deliverRaw(const std::string& payload, std::uint64_t messageId)
{
    commandHandler_(context_, payload.data(), static_cast<int>(payload.size()), messageId);
}

std::vector<RecordingTransmitter::Sent> RecordingTransmitter::sent()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
}

bool RecordingTransmitter::waitForCount(std::size_t count)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return sent_.size() >= count; });
}

HandlerRig::HandlerRig(IPacketTransmitter* transmitter, std::chrono::milliseconds idlePeriod)
    : dir("ovra-handler")
{
    handler = std::make_unique<PacketHandler>(transmitter != nullptr ? transmitter : &recorder, idlePeriod);
    callService = std::make_unique<CallService>(handler.get());
    accountService = std::make_unique<AccountService>(handler.get(), callService.get());
    callService->setAccountService(accountService.get());
    deviceService = std::make_unique<AudioDeviceManagerService>(handler.get(), &facade);
    playerService = std::make_unique<AudioPlayerService>(callService.get(), dir.makeDir("sounds"));
    recorderService = std::make_unique<AudioRecorderService>(callService.get(), dir.makeDir("records"));
    logArchive = std::make_unique<LogArchive>(handler.get(), dir.makeDir("log"));
    handler->setSipStackFacade(&facade);
    handler->setCallService(callService.get());
    handler->setAccountService(accountService.get());
    handler->setAudioDeviceManagerService(deviceService.get());
    handler->setAudioPlayerService(playerService.get());
    handler->setAudioRecorderService(recorderService.get());
    handler->setLogArchive(logArchive.get());
    handler->initProtocolVersion();
}

HandlerRig::~HandlerRig()
{
    // The application's order: no idle tick beside the teardown, then the
    // services go before the handler they report to.
    handler->stopIdleTimer();
    handler->tearDownServices();
    logArchive->wait();
    callService->setAccountService(nullptr);
    logArchive.reset();
    recorderService.reset();
    playerService.reset();
    deviceService.reset();
    accountService.reset();
    callService.reset();
    handler.reset();
}

}  // namespace Tarvent::VirtualChannel::TestSupport
