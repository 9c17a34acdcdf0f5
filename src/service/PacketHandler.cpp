#include "service/PacketHandler.h"

#include <exception>
#include <stdexcept>
#include <utility>
#include <vector>

#include "logging/LogArchive.h"
#include "logging/Logger.h"
#include "proto/WireFloat.h"
#include "proto/citrixMessage.pb.h"
#include "service/AccountService.h"
#include "service/AudioDeviceManagerService.h"
#include "service/AudioPlayerService.h"
#include "service/AudioRecorderService.h"
#include "service/CallService.h"
#include "service/MessageFit.h"
#include "service/SipStackFacade.h"
#include "sip/AccountData.h"
#include "sip/ISipCallCallback.h"
#include "sip/SipError.h"
#include "transport/IPacketTransmitter.h"
#include "util/LogText.h"
#include "util/Utf8.h"

namespace Tarvent::VirtualChannel {

namespace {

using Proto::CitrixMessage;

constexpr const char* kUnknownFailureText = "Unknown error";
constexpr const char* kLogPackingFailedText = "Failed to pack the log files";
// Longest text of one free-form string field of a notification (route,
// codec and display names); the fields of one message then always fit.
constexpr std::size_t kMaxNotificationField = 256;

unsigned long long ull(std::uint64_t value)
{
    return static_cast<unsigned long long>(value);
}

// The text of the exception being handled: a SipError's reason, a standard
// exception's what(), or a fixed text for anything else. Only inside a catch.
std::string currentFailureText(bool* isSipError = nullptr)
{
    if (isSipError != nullptr) {
        *isSipError = false;
    }
    try {
        throw;
    } catch (const SipError& error) {
        if (isSipError != nullptr) {
            *isSipError = true;
        }
        return error.reason;
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return kUnknownFailureText;
    }
}

// Marks `ack` FAILED with the text of the exception being handled.
void failAck(Proto::Ack& ack)
{
    ack.set_statuscode(Proto::Ack::FAILED);
    ack.set_statusmessage(toUtf8(currentFailureText().c_str()));
}

// The name of the message an envelope carries, for log lines.
std::string innerName(const CitrixMessage& envelope)
{
    const auto* oneof = CitrixMessage::descriptor()->FindOneofByName("inner");
    const auto* field = envelope.GetReflection()->GetOneofFieldDescriptor(envelope, oneof);
    return field != nullptr ? field->message_type()->name() : "CitrixMessage";
}

// Makes the envelope fit into one packet by shortening its longest texts
// (failure texts, device names, URIs; never bytes); a no-op when it fits.
void fitToPacket(CitrixMessage& envelope)
{
    const std::size_t size = envelope.ByteSizeLong();
    if (size <= PacketHandler::kMaxPayloadSize) {
        return;
    }
    if (!MessageFit::fitTexts(envelope, PacketHandler::kMaxPayloadSize)) {
        logError("%s too large even without its texts: size=%zu", innerName(envelope).c_str(), size);
        return;
    }
    logWarning("%s too large, texts cut: size=%zu; sentSize=%zu", innerName(envelope).c_str(), size,
               envelope.ByteSizeLong());
}

// The bytes to send for `message`, cut to fit when needed.
std::string packetBytes(const CitrixMessage& message)
{
    if (message.ByteSizeLong() <= PacketHandler::kMaxPayloadSize) {
        return message.SerializeAsString();
    }
    CitrixMessage fitted(message);
    fitToPacket(fitted);
    return fitted.SerializeAsString();
}

std::string networkText(const std::string& text)
{
    return MessageFit::cutAtCharacter(toUtf8(text.c_str()), kMaxNotificationField);
}

// Texts that end up in SIP headers or URIs: a line break would let the
// softphone's input smuggle in headers of its own.
void requireNoControlCharacter(const std::string& value, const char* field)
{
    if (MessageFit::hasControlCharacter(value)) {
        throw std::runtime_error(std::string("Invalid ") + field + ": control character");
    }
}

}  // namespace

PacketHandler::PacketHandler(IPacketTransmitter* transmitter, std::chrono::milliseconds idlePeriod)
    : transmitter_(transmitter), idlePeriod_(idlePeriod), idleTimer_([this](Timer*) { onIdleTimer(); })
{
    transmitter_->setContext(this);
    transmitter_->setCommandHandler(&PacketHandler::onRequest);
    transmitter_->setAnswerHandler(&PacketHandler::onAnswer);
    transmitter_->setTimeoutHandler(&PacketHandler::onTimeout);
    idleTimer_.start(idlePeriod_, false);
}

PacketHandler::~PacketHandler()
{
    idleTimer_.stop();
    try {
        transmitter_->stop();
    } catch (...) {
        logError("Failed to stop the transmitter: message=\"%s\"", logText(currentFailureText()).c_str());
    }
    transmitter_->setContext(nullptr);
    transmitter_->setCommandHandler(nullptr);
    transmitter_->setAnswerHandler(nullptr);
    transmitter_->setTimeoutHandler(nullptr);
}

void PacketHandler::setSipStackFacade(SipStackFacade* facade)
{
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    facade_ = facade;
}

void PacketHandler::setAccountService(AccountService* service)
{
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    accountService_ = service;
}

void PacketHandler::setCallService(CallService* service)
{
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    callService_ = service;
}

void PacketHandler::setAudioDeviceManagerService(AudioDeviceManagerService* service)
{
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    deviceService_ = service;
}

void PacketHandler::setAudioPlayerService(AudioPlayerService* service)
{
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    playerService_ = service;
}

void PacketHandler::setAudioRecorderService(AudioRecorderService* service)
{
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    recorderService_ = service;
}

void PacketHandler::setLogArchive(LogArchive* logArchive)
{
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    logArchive_ = logArchive;
}

void PacketHandler::initProtocolVersion()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    adoptProtocolVersion(kMinProtocolVersion);
}

void PacketHandler::adoptProtocolVersion(int version)
{
    logDebug("Updating protocol version: version=%d; supportedVersions=%d..%d", version, kMinProtocolVersion,
             kMaxProtocolVersion);
    setVersion(version);
    if (deviceService_ != nullptr) {
        deviceService_->setVersion(version);
    }
}

void PacketHandler::stopIdleTimer()
{
    idleTimer_.stop();
}

void PacketHandler::tearDownServices()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    const std::pair<const char*, std::function<void()>> steps[] = {
        {"CallService::clear", [this] { if (callService_ != nullptr) callService_->clear(); }},
        {"AccountService::clear", [this] { if (accountService_ != nullptr) accountService_->clear(); }},
        {"AudioPlayerService::disposeAll", [this] { if (playerService_ != nullptr) playerService_->disposeAll(); }},
        {"AudioRecorderService::disposeAll",
         [this] { if (recorderService_ != nullptr) recorderService_->disposeAll(); }},
        {"AudioDeviceManagerService::stopDeviceRefresh",
         [this] { if (deviceService_ != nullptr) deviceService_->stopDeviceRefresh(); }},
        {"AudioDeviceManagerService::reset", [this] { if (deviceService_ != nullptr) deviceService_->reset(); }},
        {"SipStackFacade::stop", [this] { if (facade_ != nullptr) facade_->stop(); }},
    };
    for (const auto& [name, step] : steps) {
        try {
            step();
        } catch (...) {
            // The later steps still run: a stack left running after a failed
            // clear would keep registrations alive that nobody owns.
            logError("Teardown step failed: step=%s; message=\"%s\"", name, logText(currentFailureText()).c_str());
        }
    }
}

void PacketHandler::onRequest(void* context, const void* payload, int size, std::uint64_t messageId)
{
    static_cast<PacketHandler*>(context)->handleMessage(payload, size, messageId);
}

void PacketHandler::onAnswer(void*, const void*, int, std::uint64_t)
{
    // The softphone's answers to notifications are not examined.
}

void PacketHandler::onTimeout(void*, std::uint64_t messageId)
{
    logError("PacketHandler Timeout: messageId=%llu", ull(messageId));
}

void PacketHandler::handleMessage(const void* data, int size, std::uint64_t messageId)
{
    // Before the lock: a command waiting behind an idle teardown already counts.
    idleTimer_.restart();
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    try {
        CitrixMessage request;
        // A payload that does not parse is not acted on, whatever the parser half-filled.
        if (size < 0 || !request.ParseFromArray(data, size)) {
            logError("Received message of unknown type: messageId=%llu; type=%d", ull(messageId), 0);
        } else if (const Answer answer = dispatch(request, messageId)) {
            sendAnswer(*answer, messageId);
        }
    } catch (...) {
        // Nothing may leave the dispatcher's thread; the softphone's own time-out applies.
        logError("Failed to handle message: messageId=%llu; message=\"%s\"", ull(messageId),
                 logText(currentFailureText()).c_str());
    }
    // Silence begins when the command is done: the period starts again here,
    // after the stamp, so that the tick it ends always finds a whole period
    // since the stamp (a tick due while the command ran only logs).
    lastCommandDone_ = std::chrono::steady_clock::now().time_since_epoch().count();
    idleTimer_.restart();
}

template <typename Service>
PacketHandler::Answer PacketHandler::ackOnObject(const char* name, const char* field, std::uint64_t messageId,
                                                 int objectId, Service* service, void (Service::*operation)(int))
{
    logInfo("Received message %s: messageId=%llu; %s=%d", name, ull(messageId), field, objectId);
    return runWithAck(messageId, [service, operation, objectId] { (service->*operation)(objectId); });
}

PacketHandler::Answer PacketHandler::dispatch(const CitrixMessage& request, std::uint64_t messageId)
{
    const unsigned long long id = ull(messageId);
    switch (request.inner_case()) {
    case CitrixMessage::kSipStackStartAction:
    case CitrixMessage::kSipStackStopAction:
    case CitrixMessage::kSipStackStatusQuery:
        return handleSipStackAction(request, messageId);
    case CitrixMessage::kSipStackCodecPrioAction: {
        const auto& action = request.sipstackcodecprioaction();
        logInfo("Received message SipStackCodecPrioAction: messageId=%llu; codecName=\"%s\"; priority=%d", id,
                logText(action.codecname()).c_str(), action.priority());
        return runWithAck(messageId, [&] {
            if (!facade_->setCodecPriority(action.codecname().c_str(), action.priority())) {
                throw std::runtime_error(facade_->isStarted()
                                             ? "Failed to set codec priority: codec=\"" + action.codecname() + "\""
                                             : std::string(SipStackFacade::kCodecPriorityRefusal));
            }
        });
    }
    case CitrixMessage::kCreateAccountAction:
        return handleCreateAccount(request, messageId);
    case CitrixMessage::kDeleteAccountAction: {
        const auto& action = request.deleteaccountaction();
        logInfo("Received message DeleteAccountAction: messageId=%llu; accountId=%d", id, action.accountid());
        return runWithAck(messageId, [&] { accountService_->deleteAccount(action.accountid()); });
    }
    case CitrixMessage::kSetRegistrationAction: {
        const auto& action = request.setregistrationaction();
        logInfo("Received message SetRegistrationAction: messageId=%llu; accountId=%d, renew=%d", id,
                action.accountid(), action.renew());
        return runWithAck(messageId, [&] { accountService_->setRegistration(action.accountid(), action.renew()); });
    }
    case CitrixMessage::kUpdateAccountPasswordAction: {
        const auto& action = request.updateaccountpasswordaction();
        logInfo("Received message UpdateAccountPasswordAction: messageId=%llu; accountId=%d", id,
                action.accountid());
        return runWithAck(messageId, [&] {
            accountService_->updatePassword(action.accountid(), action.newpassword().c_str());
        });
    }
    case CitrixMessage::kAudioPlayerCreateAction: {
        const auto& action = request.audioplayercreateaction();
        logInfo("Received message AudioPlayerCreateAction: messageId=%llu; filename=\"%s\"; callId=%d; loop=%d; "
                "extra=%d",
                id, logText(action.filename()).c_str(), action.callid(), action.loop(), action.extraplaybackdevice());
        return runWithObjectId(messageId, [&] {
            return playerService_->createPlayer(action.filename().c_str(), action.callid(), action.loop(),
                                                action.extraplaybackdevice());
        });
    }
    case CitrixMessage::kAudioPlayerPlayAction:
        return ackOnObject("AudioPlayerPlayAction", "objectId", messageId, request.audioplayerplayaction().objectid(),
                           playerService_, &AudioPlayerService::play);
    case CitrixMessage::kAudioPlayerStopAction:
        return ackOnObject("AudioPlayerStopAction", "objectId", messageId, request.audioplayerstopaction().objectid(),
                           playerService_, &AudioPlayerService::stop);
    case CitrixMessage::kAudioPlayerDisposeAction:
        return ackOnObject("AudioPlayerDisposeAction", "objectId", messageId,
                           request.audioplayerdisposeaction().objectid(),
                           playerService_, &AudioPlayerService::dispose);
    case CitrixMessage::kAudioRecorderCreateAction:
        logInfo("Received message AudioRecorderCreateAction: messageId=%llu", id);
        return runWithObjectId(messageId, [&] { return recorderService_->create(); });
    case CitrixMessage::kAudioRecorderStartAction: {
        const auto& action = request.audiorecorderstartaction();
        logInfo("Received message AudioRecorderStartAction: messageId=%llu; objectId=%d; callId=%d", id,
                action.objectid(), action.callid());
        return runWithAck(messageId, [&] { recorderService_->start(action.objectid(), action.callid()); });
    }
    case CitrixMessage::kAudioRecorderStopAction:
        return ackOnObject("AudioRecorderStopAction", "objectId", messageId,
                           request.audiorecorderstopaction().objectid(),
                           recorderService_, &AudioRecorderService::stop);
    case CitrixMessage::kAudioRecorderDisposeAction:
        return ackOnObject("AudioRecorderDisposeAction", "objectId", messageId,
                           request.audiorecorderdisposeaction().objectid(),
                           recorderService_, &AudioRecorderService::dispose);
    case CitrixMessage::kAudioDeviceManagerCreateAction:
        logDebug("Received message AudioDeviceManagerCreateAction: messageId=%llu", id);
        return handleAudioDeviceManagerCreate(messageId);
    case CitrixMessage::kAudioDeviceDefaultChangedAction: {
        const auto& action = request.audiodevicedefaultchangedaction();
        logInfo("Received message AudioDeviceDefaultChangedAction: messageId=%llu; newDefaultInputObjectId=%d; "
                "newDefaultOutputObjectId=%d",
                id, action.newdefaultinputobjectid(), action.newdefaultoutputobjectid());
        return runWithAck(messageId, [&] {
            deviceService_->setDefaultDevices(action.newdefaultinputobjectid(), action.newdefaultoutputobjectid());
        });
    }
    case CitrixMessage::kAudioDeviceSetExtraPlaybackDeviceAction: {
        const auto& action = request.audiodevicesetextraplaybackdeviceaction();
        logInfo("Received message AudioDeviceSetExtraPlaybackDeviceAction: messageId=%llu; "
                "extraPlaybackDeviceObjectId=%d",
                id, action.extraplaybackdeviceobjectid());
        return runWithAck(messageId,
                          [&] { deviceService_->setExtraPlaybackDevice(action.extraplaybackdeviceobjectid()); });
    }
    case CitrixMessage::kMakeCallAction: {
        const auto& action = request.makecallaction();
        logInfo("Received message MakeCallAction: messageId=%llu; accountId=%d; phoneNumber=\"%s\"", id,
                action.accountid(), logText(action.phonenumber()).c_str());
        return runWithObjectId(messageId, [&] {
            requireNoControlCharacter(action.phonenumber(), "phoneNumber");
            return accountService_->makeCall(action.accountid(), action.phonenumber().c_str());
        });
    }
    case CitrixMessage::kDialAction:
        return ackOnObject("DialAction", "callId", messageId, request.dialaction().callid(),
                           callService_, &CallService::dial);
    case CitrixMessage::kHangUpAction:
        return ackOnObject("HangUpAction", "callId", messageId, request.hangupaction().callid(),
                           callService_, &CallService::hangup);
    case CitrixMessage::kAnswerAudioAction:
        return ackOnObject("AnswerAudioAction", "callId", messageId, request.answeraudioaction().callid(),
                           callService_, &CallService::answerAudio);
    case CitrixMessage::kGetCallAction: {
        const auto& action = request.getcallaction();
        logInfo("Received message GetCallAction: messageId=%llu; accountId=%d; pjsipCallId=%d", id,
                action.accountid(), action.pjsipcallid());
        return runWithObjectId(messageId,
                               [&] { return accountService_->findCallId(action.accountid(), action.pjsipcallid()); });
    }
    case CitrixMessage::kDialDtmfAction: {
        const auto& action = request.dialdtmfaction();
        logInfo("Received message DialDtmfAction: messageId=%llu; callId=%d; digit=\"%s\"", id, action.callid(),
                logText(action.digit()).c_str());
        return runWithAck(messageId, [&] { callService_->dialDtmf(action.callid(), action.digit().c_str()); });
    }
    case CitrixMessage::kMosUpdateAction:
        return handleMosUpdate(request, messageId);
    case CitrixMessage::kCallHoldAction: {
        const auto& action = request.callholdaction();
        logInfo("Received message CallHoldAction: messageId=%llu; callId=%d; hold=%d; autoHoldOthers=%d", id,
                action.callid(), action.hold(), action.autoholdothers());
        return runWithAck(messageId,
                          [&] { callService_->setHold(action.callid(), action.hold(), action.autoholdothers()); });
    }
    case CitrixMessage::kCallMuteMicrophoneAction: {
        const auto& action = request.callmutemicrophoneaction();
        logWarning("Received message CallMuteMicrophoneAction (deprecated): messageId=%llu; callId=%d; mute=%d", id,
                   action.callid(), action.mute());
        return runWithAck(messageId, [&] { callService_->muteMicrophone(action.callid(), action.mute()); });
    }
    case CitrixMessage::kCallMuteSpeakerAction: {
        const auto& action = request.callmutespeakeraction();
        logInfo("Received message CallMuteSpeakerAction: messageId=%llu; callId=%d; mute=%d", id, action.callid(),
                action.mute());
        return runWithAck(messageId, [&] { callService_->muteSpeaker(action.callid(), action.mute()); });
    }
    case CitrixMessage::kCallMergeAction:
        return ackOnObject("CallMergeAction", "callId", messageId, request.callmergeaction().callid(),
                           callService_, &CallService::merge);
    case CitrixMessage::kPlaybackLevelAction: {
        const float level = request.playbacklevelaction().level();
        logInfo("Received message PlaybackLevelAction: messageId=%llu; level=%f", id, static_cast<double>(level));
        return runWithAck(messageId, [&] { facade_->setPlaybackLevel(level); });
    }
    case CitrixMessage::kCaptureLevelAction: {
        const float level = request.capturelevelaction().level();
        logInfo("Received message CaptureLevelAction: messageId=%llu; level=%f", id, static_cast<double>(level));
        return runWithAck(messageId, [&] { facade_->setCaptureLevel(level); });
    }
    case CitrixMessage::kMuteMicrophoneAction: {
        const bool mute = request.mutemicrophoneaction().mute();
        logInfo("Received message MuteMicrophoneAction: messageId=%llu; level=%f", id, mute ? 1.0 : 0.0);
        return runWithAck(messageId, [&] { facade_->muteMicrophone(mute); });
    }
    case CitrixMessage::kStartConferenceAction: {
        const auto& ids = request.startconferenceaction().accountids();
        logInfo("Received message StartConferenceAction: messageId=%llu; accountIds.size()=%d", id, ids.size());
        return runWithAck(messageId,
                          [&] { accountService_->startConference(std::vector<int>(ids.begin(), ids.end())); });
    }
    case CitrixMessage::kStopConferenceAction:
        logInfo("Received message StopConferenceAction: messageId=%llu", id);
        return runWithAck(messageId, [&] { accountService_->stopConference(); });
    case CitrixMessage::kJoinConferenceAction:
        return ackOnObject("JoinConferenceAction", "callId", messageId, request.joinconferenceaction().callid(),
                           callService_, &CallService::joinConference);
    case CitrixMessage::kLeaveConferenceAction:
        return ackOnObject("LeaveConferenceAction", "callId", messageId, request.leaveconferenceaction().callid(),
                           callService_, &CallService::leaveConference);
    case CitrixMessage::kAppStartAction:
        return handleAppStart(request, messageId);
    case CitrixMessage::kAppStartLogTransferAction:
        return handleStartLogTransfer(messageId);
    case CitrixMessage::kAppStopLogTransferAction:
        logInfo("Received message AppStopLogTransferAction: messageId=%llu", id);
        return runWithAck(messageId, [&] { logArchive_->clear(); });
    case CitrixMessage::kAppTransferLogPartAction:
        return handleTransferLogPart(request);
    case CitrixMessage::kForwardAction: {
        const auto& action = request.forwardaction();
        logInfo("Received message ForwardAction: messageId=%llu; callId=%d; targetNumber=\"%s\"", id,
                action.callid(), logText(action.targetnumber()).c_str());
        return runWithAck(messageId, [&] {
            requireNoControlCharacter(action.targetnumber(), "targetNumber");
            callService_->forward(action.callid(), action.targetnumber().c_str());
        });
    }
    default:
        // Also the engine's own answers and notifications: nobody may send them to us.
        logError("Received message of unknown type: messageId=%llu; type=%d", id,
                 static_cast<int>(request.inner_case()));
        return nullptr;
    }
}

PacketHandler::Answer PacketHandler::runWithAck(std::uint64_t messageId, const std::function<void()>& action)
{
    auto answer = std::make_unique<CitrixMessage>();
    Proto::Ack& ack = *answer->mutable_ack();
    try {
        action();
        ack.set_statuscode(Proto::Ack::SUCCESS);
    } catch (...) {
        failAck(ack);
    }
    fitToPacket(*answer);
    logInfo("Sending message Ack: messageId=%llu; statusCode=%d; statusMessage=\"%s\"", ull(messageId),
            ack.statuscode(), logText(ack.statusmessage()).c_str());
    return answer;
}

PacketHandler::Answer PacketHandler::runWithObjectId(std::uint64_t messageId, const std::function<int()>& action)
{
    auto answer = std::make_unique<CitrixMessage>();
    Proto::ObjectIdResponse& response = *answer->mutable_objectidresponse();
    Proto::Ack& ack = *response.mutable_ack();
    try {
        response.set_objectid(action());
        ack.set_statuscode(Proto::Ack::SUCCESS);
    } catch (...) {
        response.set_objectid(0);
        failAck(ack);
    }
    fitToPacket(*answer);
    logInfo("Sending message ObjectIdResponse: messageId=%llu; statusCode=%d; statusMessage=\"%s\"; objectId=%d",
            ull(messageId), ack.statuscode(), logText(ack.statusmessage()).c_str(), response.objectid());
    return answer;
}

void PacketHandler::sendAnswer(const CitrixMessage& answer, std::uint64_t messageId)
{
    const std::string bytes = packetBytes(answer);
    transmitter_->sendAnswer(bytes.data(), static_cast<int>(bytes.size()), messageId);
}

std::uint64_t PacketHandler::sendNotification(const CitrixMessage& message)
{
    const std::string bytes = packetBytes(message);
    return transmitter_->sendCommandAsync(bytes.data(), static_cast<int>(bytes.size()), -1);
}

void PacketHandler::startSipStack(const CitrixMessage& request)
{
    const auto& action = request.sipstackstartaction();
    // Checked before the teardown: a refused start leaves a running stack alone.
    requireNoControlCharacter(action.useragent(), "userAgent");
    tearDownServices();
    facade_->start(action.usenovad(), action.useragent().c_str(), action.g729enabled(), action.siplogenabled());
    callService_->start();
}

PacketHandler::Answer PacketHandler::handleSipStackAction(const CitrixMessage& request, std::uint64_t messageId)
{
    const unsigned long long id = ull(messageId);
    auto answer = std::make_unique<CitrixMessage>();
    Proto::SipStackStatusAnswer& status = *answer->mutable_sipstackstatusanswer();
    Proto::Ack& ack = *status.mutable_ack();
    try {
        switch (request.inner_case()) {
        case CitrixMessage::kSipStackStartAction: {
            const auto& action = request.sipstackstartaction();
            logInfo("Received message SipStackStartAction: messageId=%llu; useNoVad=%d; userAgent=\"%s\"; "
                    "G729Enabled=%d; SipLogEnabled=%d",
                    id, action.usenovad(), logText(action.useragent()).c_str(), action.g729enabled(), action.siplogenabled());
            startSipStack(request);
            break;
        }
        case CitrixMessage::kSipStackStopAction:
            logInfo("Received message SipStackStopAction: messageId=%llu", id);
            tearDownServices();
            break;
        case CitrixMessage::kSipStackStatusQuery:
            logInfo("Received message SipStackStatusQuery: messageId=%llu", id);
            break;
        default:
            throw std::runtime_error("Unexpected SIP action.");
        }
        ack.set_statuscode(Proto::Ack::SUCCESS);
    } catch (...) {
        failAck(ack);
    }
    status.set_status(facade_->isStarted() ? Proto::SipStackStatusAnswer::RUNNING
                                           : Proto::SipStackStatusAnswer::STOPPED);
    fitToPacket(*answer);
    logInfo("Sending message SipStackStatusAnswer: messageId=%llu; statusCode=%d; statusMessage=\"%s\"; "
            "sipStackStatus=%d",
            id, ack.statuscode(), logText(ack.statusmessage()).c_str(), status.status());
    return answer;
}

PacketHandler::Answer PacketHandler::handleAppStart(const CitrixMessage& request, std::uint64_t messageId)
{
    const unsigned long long id = ull(messageId);
    const auto& action = request.appstartaction();
    logInfo("Received message AppStartAction: messageId=%llu; appVersion=\"%s\"; protocolVersion=%d", id,
            logText(action.appversion()).c_str(), action.protocolversion());
    adoptProtocolVersion(action.protocolversion());

    auto answer = std::make_unique<CitrixMessage>();
    Proto::AppStartAnswer& start = *answer->mutable_appstartanswer();
    start.mutable_ack()->set_statuscode(Proto::Ack::SUCCESS);
    start.set_remoteversion(kRemoteVersion);
    start.set_protocolversion(kMaxProtocolVersion);
    // The platform the engine runs on.
    start.set_remoteplatform(Proto::LINUX);
    logInfo("Sending message AppStartAnswer: messageId=%llu; statusCode=%d; remoteVersion=\"%s\"; "
            "remotePlatform=\"%s\"; protocolVersion=%d",
            id, start.ack().statuscode(), start.remoteversion().c_str(),
            Proto::Platform_Name(start.remoteplatform()).c_str(), start.protocolversion());
    return answer;
}

PacketHandler::Answer PacketHandler::handleCreateAccount(const CitrixMessage& request, std::uint64_t messageId)
{
    const unsigned long long id = ull(messageId);
    const auto& action = request.createaccountaction();
    logDebug("Received message CreateAccountAction: messageId=%llu; username=\"%s\"; realm=\"%s\"; host=\"%s\"; "
             "transport=\"%s\"",
             id, logText(action.username()).c_str(), logText(action.realm()).c_str(), logText(action.host()).c_str(),
             logText(action.transport()).c_str());

    auto answer = std::make_unique<CitrixMessage>();
    Proto::CreateAccountAnswer& created = *answer->mutable_createaccountanswer();
    Proto::ObjectIdResponse& response = *created.mutable_objectidresponse();
    Proto::Ack& ack = *response.mutable_ack();
    int loggedId = -1;
    try {
        requireNoControlCharacter(action.username(), "username");
        requireNoControlCharacter(action.realm(), "realm");
        const AccountData data{action.username(), action.realm(), action.host(), action.password(),
                               action.transport()};
        std::string idUri;
        bool contactRewrite = false;
        const int accountId = accountService_->createAccount(data, &idUri, &contactRewrite);
        response.set_objectid(accountId);
        created.set_iduri(toUtf8(idUri.c_str()));
        created.set_contactrewrite(contactRewrite);
        ack.set_statuscode(Proto::Ack::SUCCESS);
        loggedId = accountId;
    } catch (...) {
        response.set_objectid(0);
        created.clear_iduri();
        created.set_contactrewrite(false);
        failAck(ack);
    }
    fitToPacket(*answer);
    logDebug("Sending message CreateAccountAnswer: messageId=%llu; statusCode=%d; statusMessage=\"%s\"; objectId=%d",
             id, ack.statuscode(), logText(ack.statusmessage()).c_str(), loggedId);
    return answer;
}

PacketHandler::Answer PacketHandler::handleMosUpdate(const CitrixMessage& request, std::uint64_t messageId)
{
    const int callId = request.mosupdateaction().callid();
    try {
        const SipCallStatistics stats = callService_->getCallStatistics(callId);
        auto answer = std::make_unique<CitrixMessage>();
        Proto::MosUpdateAnswer& mos = *answer->mutable_mosupdateanswer();
        mos.set_accountid(stats.accountId);
        mos.set_callid(stats.callId);
        mos.set_durationdelta(stats.durationDelta);
        mos.set_averagemos(wireFloat(stats.averageMos));
        mos.set_txmos(wireFloat(stats.txMos));
        mos.set_rxmos(wireFloat(stats.rxMos));
        mos.set_txpackets(stats.txPackets);
        mos.set_txbytes(stats.txBytes);
        mos.set_txpacketsdelta(stats.txPacketsDelta);
        mos.set_txbytesdelta(stats.txBytesDelta);
        mos.set_rxpackets(stats.rxPackets);
        mos.set_rxbytes(stats.rxBytes);
        mos.set_rxpacketsdelta(stats.rxPacketsDelta);
        mos.set_rxbytesdelta(stats.rxBytesDelta);
        return answer;
    } catch (...) {
        bool isSipError = false;
        const std::string text = currentFailureText(&isSipError);
        logError("Failed to handle message MosUpdateAction: messageId=%llu; callId=%d; %s=\"%s\"", ull(messageId),
                 callId, isSipError ? "reason" : "message", logText(text).c_str());
        return nullptr;
    }
}

PacketHandler::Answer PacketHandler::handleAudioDeviceManagerCreate(std::uint64_t messageId)
{
    if (!isAtLeast(2)) {
        return runWithObjectId(messageId, [this] {
            const int objectId = deviceService_->create();
            deviceService_->startDeviceRefresh();
            return objectId;
        });
    }
    auto answer = std::make_unique<CitrixMessage>();
    Proto::AudioDeviceManagerCreateAnswer& created = *answer->mutable_audiodevicemanagercreateanswer();
    Proto::Ack& ack = *created.mutable_ack();
    try {
        const int objectId = deviceService_->create();
        const AudioDeviceSnapshot snapshot = deviceService_->getSnapshot();
        created.set_allocated_audiodevicenotification(buildAudioDeviceNotification(objectId, snapshot).release());
        deviceService_->startDeviceRefresh();
        ack.set_statuscode(Proto::Ack::SUCCESS);
    } catch (...) {
        failAck(ack);
    }
    fitToPacket(*answer);
    const Proto::AudioDeviceNotification& devices = created.audiodevicenotification();
    logDebug("Sending message AudioDeviceManagerCreateAnswer: messageId=%llu; statusCode=%d; statusMessage=\"%s\"; "
             "objectId=%d;%s",
             ull(messageId), ack.statuscode(), logText(ack.statusmessage()).c_str(), devices.objectid(),
             formatAudioDeviceNotification(devices).c_str());
    return answer;
}

PacketHandler::Answer PacketHandler::handleStartLogTransfer(std::uint64_t messageId)
{
    logDebug("Received message AppStartLogTransferAction: messageId=%llu", ull(messageId));
    try {
        // The answer comes from onLogArchiveReady once the archive is packed.
        logArchive_->start(messageId);
        return nullptr;
    } catch (...) {
        bool isSipError = false;
        const std::string text = currentFailureText(&isSipError);
        logError("Failed to handle message AppStartLogTransferAction: messageId=%llu; %s=\"%s\"", ull(messageId),
                 isSipError ? "reason" : "message", logText(text).c_str());
        // No packing will call back: the softphone would otherwise wait for nothing.
        return buildLogTransferAnswer(messageId, 0, text.c_str());
    }
}

PacketHandler::Answer PacketHandler::handleTransferLogPart(const CitrixMessage& request)
{
    auto answer = std::make_unique<CitrixMessage>();
    Proto::AppTransferLogPartAnswer& part = *answer->mutable_apptransferlogpartanswer();
    try {
        const std::vector<char> bytes = logArchive_->getPart(request.apptransferlogpartaction().index());
        part.set_log(bytes.data(), bytes.size());
        part.mutable_ack()->set_statuscode(Proto::Ack::SUCCESS);
    } catch (...) {
        part.clear_log();
        failAck(*part.mutable_ack());
    }
    return answer;
}

PacketHandler::Answer PacketHandler::buildLogTransferAnswer(std::uint64_t requestId, int partCount,
                                                            const char* failure)
{
    auto answer = std::make_unique<CitrixMessage>();
    Proto::AppStartLogTransferAnswer& ready = *answer->mutable_appstartlogtransferanswer();
    Proto::Ack& ack = *ready.mutable_ack();
    if (failure == nullptr) {
        ack.set_statuscode(Proto::Ack::SUCCESS);
        ready.set_count(partCount);
    } else {
        ack.set_statuscode(Proto::Ack::FAILED);
        ack.set_statusmessage(toUtf8(failure));
        ready.set_count(0);
    }
    fitToPacket(*answer);
    logDebug("Sending message AppStartLogTransferAnswer: messageId=%llu; statusCode=%d; statusMessage=\"%s\"; "
             "count=%d",
             ull(requestId), ack.statuscode(), logText(ack.statusmessage()).c_str(), ready.count());
    return answer;
}

void PacketHandler::sendLogTransferAnswer(std::uint64_t requestId, int partCount, const char* failure)
{
    try {
        sendAnswer(*buildLogTransferAnswer(requestId, partCount, failure), requestId);
    } catch (...) {
        // The archive's worker has no caller to tell (e.g. the transmitter is stopping).
        logError("Failed to send message AppStartLogTransferAnswer: messageId=%llu; message=\"%s\"", ull(requestId),
                 logText(currentFailureText()).c_str());
    }
}

void PacketHandler::onLogArchiveReady(std::uint64_t requestId, int partCount)
{
    // Even an empty log packs into a zip of some bytes: no part means the packing failed.
    sendLogTransferAnswer(requestId, partCount, partCount > 0 ? nullptr : kLogPackingFailedText);
}

void PacketHandler::onLogArchiveFailed(std::uint64_t requestId, const std::string& reason)
{
    sendLogTransferAnswer(requestId, 0, reason.empty() ? kLogPackingFailedText : reason.c_str());
}

void PacketHandler::onIdleTimer()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    try {
        const auto sinceLastCommand = std::chrono::steady_clock::now() -
                                      std::chrono::steady_clock::time_point(
                                          std::chrono::steady_clock::duration(lastCommandDone_.load()));
        if (sinceLastCommand < idlePeriod_) {
            // This tick waited for a command that took longer than the rest of the period.
            logDebug("SIP stack idle.");
        } else if (facade_ != nullptr && callService_ != nullptr && facade_->isStarted() &&
            callService_->getCallCount() == 0) {
            logInfo("No message arrived during the last [%d] ms. Shutting down SIP stack.",
                    static_cast<int>(idlePeriod_.count()));
            tearDownServices();
        } else {
            logDebug("SIP stack idle.");
        }
    } catch (...) {
        logError("Idle shutdown failed: message=\"%s\"", logText(currentFailureText()).c_str());
    }
}

void PacketHandler::notify(const char* name, const CitrixMessage& message,
                           const std::function<void(unsigned long long messageId)>& logSent)
{
    try {
        logSent(ull(sendNotification(message)));
    } catch (...) {
        // Raised on a thread with no caller to tell (SIP core, call worker,
        // device refresh): e.g. the transmitter is stopping.
        logError("Failed to send message %s: message=\"%s\"", name, logText(currentFailureText()).c_str());
    }
}

void PacketHandler::onIncomingCall(int accountId, int callId, int pjsipCallId, const char* sipMessage)
{
    CitrixMessage message;
    Proto::IncomingCallNotification& incoming = *message.mutable_incomingcallnotification();
    incoming.set_accountid(accountId);
    incoming.set_callid(callId);
    incoming.set_pjsipcallid(pjsipCallId);
    const std::string text = toUtf8(sipMessage);
    incoming.set_sipmessage(text);
    const std::size_t size = message.ByteSizeLong();
    if (size > kMaxPayloadSize) {
        // Headers come first in the text, so whole lines from the start keep
        // what the softphone reads (From, To, Call-ID) and drop body lines.
        const std::size_t excess = size - kMaxPayloadSize;
        const std::size_t room = excess < text.size() ? text.size() - excess : 0;
        incoming.set_sipmessage(MessageFit::cutAtLine(text, room));
        while (message.ByteSizeLong() > kMaxPayloadSize) {
            // The length prefix may have shrunk by less than the text; cut one more line.
            const std::string& kept = incoming.sipmessage();
            incoming.set_sipmessage(MessageFit::cutAtLine(kept, kept.empty() ? 0 : kept.size() - 1));
        }
        logWarning("IncomingCallNotification too large, sipMessage cut: accountId=%d; callId=%d; size=%zu; "
                   "sentSize=%zu",
                   accountId, callId, text.size(), incoming.sipmessage().size());
    }
    notify("IncomingCallNotification", message, [&](unsigned long long id) {
        logInfo("Sending message IncomingCallNotification: messageId=%llu; accountId=%d; callId=%d; pjsipCallId=%d; "
                "sipMessage=\"%s\"",
                id, accountId, callId, pjsipCallId, logText(incoming.sipmessage()).c_str());
    });
}

void PacketHandler::onAccountRegStateChanged(int accountId, bool isConnected, int status, int statusCode)
{
    CitrixMessage message;
    Proto::AccountRegStateChangedNotification& state = *message.mutable_accountregstatechangednotification();
    state.set_accountid(accountId);
    state.set_isconnected(isConnected);
    state.set_status(status);
    state.set_statuscode(statusCode);
    notify("AccountRegStateChangedNotification", message, [&](unsigned long long id) {
        logInfo("Sending message AccountRegStateChangedNotification: messageId=%llu; accountId=%d; isConnected=%d; "
                "status=%d; statusCode=%d",
                id, accountId, isConnected, status, statusCode);
    });
}

void PacketHandler::onCallEarly(int accountId, int callId, int pjsipCallId, std::string routeName)
{
    CitrixMessage message;
    Proto::EarlyCallNotification& early = *message.mutable_earlycallnotification();
    early.set_accountid(accountId);
    early.set_callid(callId);
    early.set_pjsipcallid(pjsipCallId);
    early.set_routename(networkText(routeName));
    notify("EarlyCallNotification", message, [&](unsigned long long id) {
        logInfo("Sending message EarlyCallNotification: messageId=%llu; accountId=%d; callId=%d; pjsipCallId=%d; "
                "routeName=\"%s\"",
                id, accountId, callId, pjsipCallId, logText(early.routename()).c_str());
    });
}

void PacketHandler::onCallConfirmed(int accountId, int callId, int pjsipCallId)
{
    CitrixMessage message;
    Proto::ConfirmedCallNotification& confirmed = *message.mutable_confirmedcallnotification();
    confirmed.set_accountid(accountId);
    confirmed.set_callid(callId);
    confirmed.set_pjsipcallid(pjsipCallId);
    notify("ConfirmedCallNotification", message, [&](unsigned long long id) {
        logInfo("Sending message ConfirmedCallNotification: messageId=%llu; accountId=%d; callId=%d; pjsipCallId=%d",
                id, accountId, callId, pjsipCallId);
    });
}

void PacketHandler::onCallTerminated(int accountId, int callId, int pjsipCallId, int reason)
{
    CitrixMessage message;
    Proto::TerminatedCallNotification& terminated = *message.mutable_terminatedcallnotification();
    terminated.set_accountid(accountId);
    terminated.set_callid(callId);
    terminated.set_pjsipcallid(pjsipCallId);
    switch (reason) {
    case ISipCallCallback::kReasonNotFound:
        terminated.set_reason(Proto::CALL_TERMINATION_REASON_NOT_FOUND);
        break;
    case ISipCallCallback::kReasonBusyHere:
        terminated.set_reason(Proto::CALL_TERMINATION_REASON_BUSY_HERE);
        break;
    default:
        terminated.set_reason(Proto::CALL_TERMINATION_REASON_UNKNOWN);
        break;
    }
    notify("TerminatedCallNotification", message, [&](unsigned long long id) {
        logInfo("Sending message TerminatedCallNotification: messageId=%llu; accountId=%d; callId=%d; "
                "pjsipCallId=%d; reason=\"%s\"",
                id, accountId, callId, pjsipCallId, Proto::CallTerminationReason_Name(terminated.reason()).c_str());
    });
}

void PacketHandler::onCallMediaState(int accountId, int callId, const SipCallMediaState& mediaState)
{
    CitrixMessage message;
    Proto::CallMediaStateNotification& media = *message.mutable_callmediastatenotification();
    media.set_accountid(accountId);
    media.set_callid(callId);
    media.set_codecname(networkText(mediaState.codecName));
    media.set_codecclockrate(mediaState.codecClockRate);
    media.set_mediastate(mediaState.mediaState);
    media.set_srtpactive(mediaState.srtpActive);
    media.set_sdpoffer(mediaState.sdpOffer);
    media.set_displayname(networkText(mediaState.displayName));
    media.set_displaynumber(networkText(mediaState.displayNumber));
    media.set_sipstatus(mediaState.sipStatus);
    notify("CallMediaStateNotification", message, [&](unsigned long long id) {
        logInfo("Sending message CallMediaStateNotification: messageId=%llu; accountId=%d; callId=%d; "
                "codecName=\"%s\"; codecClockRate=%d; mediaState=%d; srtpActive=%d; sdpOffer=%d; "
                "displayName=\"%s\"; displayNumber=\"%s\"; sipStatus=%d",
                id, accountId, callId, logText(media.codecname()).c_str(), static_cast<int>(media.codecclockrate()),
                media.mediastate(), media.srtpactive(), media.sdpoffer(), logText(media.displayname()).c_str(),
                logText(media.displaynumber()).c_str(), media.sipstatus());
    });
}

void PacketHandler::onCallHoldStateChanged(int accountId, int callId, int pjsipCallId, bool isHold)
{
    CitrixMessage message;
    Proto::HoldStateChangedNotification& hold = *message.mutable_holdstatechangednotification();
    hold.set_accountid(accountId);
    hold.set_callid(callId);
    hold.set_pjsipcallid(pjsipCallId);
    hold.set_ishold(isHold);
    notify("HoldStateChangedNotification", message, [&](unsigned long long id) {
        logInfo("Sending message HoldStateChangedNotification: messageId=%llu; accountId=%d; callId=%d; "
                "pjsipCallId=%d; holdState=%d",
                id, accountId, callId, pjsipCallId, isHold);
    });
}

void PacketHandler::onAudioDevicesChanged(int objectId, const AudioDeviceSnapshot& snapshot)
{
    CitrixMessage message;
    message.set_allocated_audiodevicenotification(buildAudioDeviceNotification(objectId, snapshot).release());
    fitToPacket(message);
    const Proto::AudioDeviceNotification& devices = message.audiodevicenotification();
    notify("AudioDeviceNotification", message, [&](unsigned long long id) {
        logInfo("Sending message AudioDeviceNotification: messageId=%llu;%s", id,
                formatAudioDeviceNotification(devices).c_str());
    });
}

std::unique_ptr<Proto::AudioDeviceNotification> PacketHandler::buildAudioDeviceNotification(
    int objectId, const AudioDeviceSnapshot& snapshot)
{
    auto notification = std::make_unique<Proto::AudioDeviceNotification>();
    notification->set_objectid(objectId);
    for (const AudioDeviceRecord& record : snapshot.records) {
        Proto::AudioDeviceObject& device = *notification->add_audiodevices();
        device.set_objectid(record.objectId);
        device.set_name(toUtf8(record.name.c_str()));
        device.set_isinputdevice(record.isInputDevice);
        device.set_isoutputdevice(record.isOutputDevice);
        device.set_iscalldevice(record.isCallDevice);
    }
    notification->set_defaultinputobjectid(snapshot.defaultInputObjectId);
    notification->set_defaultoutputobjectid(snapshot.defaultOutputObjectId);
    notification->set_systemdefaultinputobjectid(snapshot.systemDefaultInputObjectId);
    notification->set_systemdefaultoutputobjectid(snapshot.systemDefaultOutputObjectId);
    // The envelope it goes into is made to fit (fitToPacket): many devices
    // with long names get shorter names, and the ids still tell them apart.
    return notification;
}

std::string PacketHandler::formatAudioDeviceNotification(const Proto::AudioDeviceNotification& notification)
{
    std::string text = " defaultInputObjectId=" + std::to_string(notification.defaultinputobjectid()) +
                       "; defaultOutputObjectId=" + std::to_string(notification.defaultoutputobjectid()) +
                       "; systemDefaultInputObjectId=" + std::to_string(notification.systemdefaultinputobjectid()) +
                       "; systemDefaultOutputObjectId=" +
                       std::to_string(notification.systemdefaultoutputobjectid()) + "; audioDevices=[";
    bool first = true;
    for (const Proto::AudioDeviceObject& device : notification.audiodevices()) {
        if (!first) {
            text += ',';
        }
        first = false;
        text += '(' + std::to_string(device.objectid()) + ";\"" + logText(device.name()) + "\";" +
                (device.isinputdevice() ? '1' : '0') + ';' + (device.isoutputdevice() ? '1' : '0') + ';' +
                (device.iscalldevice() ? '1' : '0') + ')';
    }
    text += ']';
    return text;
}

}  // namespace Tarvent::VirtualChannel
