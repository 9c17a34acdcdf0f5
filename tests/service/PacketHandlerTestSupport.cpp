#include "service/PacketHandlerTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>

#include "transport/VirtualChannelException.h"

namespace Tarvent::VirtualChannel::TestSupport {

namespace {

// What the real transmitter refuses before it sends anything.
void refuseWhatTheTransmitterRefuses(bool stopped, int size)
{
    if (stopped) {
        throw VirtualChannelException("PacketTransmitter not running.", VirtualChannelException::kNotRunning);
    }
    if (size > static_cast<int>(PacketHandler::kMaxPayloadSize)) {
        throw VirtualChannelException("Payload too large.", VirtualChannelException::kInvalidPayload);
    }
}

}  // namespace

std::uint64_t RecordingTransmitter::sendCommandAsync(const void* data, int size, int)
{
    refuseWhatTheTransmitterRefuses(refuse_, size);
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
    refuseWhatTheTransmitterRefuses(refuse_, size);
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

Proto::CitrixMessage RecordingTransmitter::answerTo(const Proto::CitrixMessage& request, std::uint64_t messageId)
{
    const std::size_t before = sent().size();
    deliver(request, messageId);
    const auto all = sent();
    EXPECT_EQ(all.size(), before + 1);
    if (all.size() != before + 1) {
        return Proto::CitrixMessage();
    }
    EXPECT_TRUE(all.back().isAnswer);
    EXPECT_EQ(all.back().messageId, messageId);
    return all.back().message;
}

const Proto::Ack& ackOf(const Proto::CitrixMessage& answer)
{
    switch (answer.inner_case()) {
    case Proto::CitrixMessage::kAck:
        return answer.ack();
    case Proto::CitrixMessage::kObjectIdResponse:
        return answer.objectidresponse().ack();
    case Proto::CitrixMessage::kCreateAccountAnswer:
        return answer.createaccountanswer().objectidresponse().ack();
    case Proto::CitrixMessage::kAudioDeviceManagerCreateAnswer:
        return answer.audiodevicemanagercreateanswer().ack();
    case Proto::CitrixMessage::kAppTransferLogPartAnswer:
        return answer.apptransferlogpartanswer().ack();
    case Proto::CitrixMessage::kAppStartLogTransferAnswer:
        return answer.appstartlogtransferanswer().ack();
    case Proto::CitrixMessage::kSipStackStatusAnswer:
        return answer.sipstackstatusanswer().ack();
    default:
        return Proto::Ack::default_instance();
    }
}

int levelOf(LogCapture& capture, const std::string& text)
{
    CapturingAppender::Store& store = capture.store();
    const std::lock_guard<std::mutex> lock(store.mutex);
    for (const LogRecord& record : store.records) {
        if (record.message.find(text) != std::string::npos) {
            return record.level;
        }
    }
    return -1;
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
