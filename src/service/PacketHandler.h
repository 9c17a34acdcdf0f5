#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "logging/IAppServiceCallback.h"
#include "service/IAccountServiceCallback.h"
#include "service/IAudioDeviceManagerServiceCallback.h"
#include "service/ICallServiceCallback.h"
#include "util/Timer.h"
#include "util/VersionedBase.h"

namespace Tarvent::VirtualChannel {

namespace Proto {
class CitrixMessage;
class AudioDeviceNotification;
}  // namespace Proto

class AccountService;
class AudioDeviceManagerService;
class AudioPlayerService;
class AudioRecorderService;
class CallService;
class IPacketTransmitter;
class LogArchive;
class SipStackFacade;

// The engine's consumer of the softphone's commands: parses each received
// CitrixMessage, logs it, calls one service operation and answers with the
// request's message id. In the other direction it turns the services' events
// into notifications, and it shuts the SIP stack down when the softphone has
// been silent for the idle period with no call.
//
// Threads: commands on the dispatcher's worker thread; the idle tick on the
// idle timer's thread; the notification senders on whatever thread raised
// the event (SIP core thread, call workers, device refresh timer, log
// archive worker); wiring, initProtocolVersion and stopIdleTimer on the
// owner's thread before the transmitter starts or after it stopped.
// Nothing thrown inside reaches the calling thread.
class PacketHandler : public VersionedBase,
                      public IAccountServiceCallback,
                      public ICallServiceCallback,
                      public IAudioDeviceManagerServiceCallback,
                      public IAppServiceCallback {
public:
    static constexpr std::chrono::milliseconds kIdlePeriod{10000};
    static constexpr int kMinProtocolVersion = 1;
    static constexpr int kMaxProtocolVersion = 2;
    static constexpr const char* kRemoteVersion = "5.0.1151";
    // The largest payload the transport carries in one packet.
    static constexpr std::size_t kMaxPayloadSize = 2024;

    // Registers itself on `transmitter` (not owned; must outlive the handler)
    // and starts the idle timer with `idlePeriod`.
    explicit PacketHandler(IPacketTransmitter* transmitter, std::chrono::milliseconds idlePeriod = kIdlePeriod);
    // Stops the idle timer and the transmitter, then unregisters.
    ~PacketHandler() override;

    PacketHandler(const PacketHandler&) = delete;
    PacketHandler& operator=(const PacketHandler&) = delete;

    // Wiring: none of the pointers is owned; each must outlive the handler.
    // Under the mutex: the idle timer already runs.
    void setSipStackFacade(SipStackFacade* facade);
    void setAccountService(AccountService* service);
    void setCallService(CallService* service);
    void setAudioDeviceManagerService(AudioDeviceManagerService* service);
    void setAudioPlayerService(AudioPlayerService* service);
    void setAudioRecorderService(AudioRecorderService* service);
    void setLogArchive(LogArchive* logArchive);

    // Version 1 on the handler and the device service; before the transmitter starts.
    void initProtocolVersion();
    // Ends the idle checks for good (waits for a tick in progress), so that the
    // application's own teardown never runs beside an idle teardown.
    void stopIdleTimer();
    // The ordered engine teardown: calls, accounts, players, recorders, device
    // refresh and device manager state, then the SIP stack. Each step runs even
    // when an earlier one failed.
    void tearDownServices();

    // Transmitter handlers; `context` is the handler.
    static void onRequest(void* context, const void* payload, int size, std::uint64_t messageId);
    static void onAnswer(void* context, const void* payload, int size, std::uint64_t messageId);
    static void onTimeout(void* context, std::uint64_t messageId);

    // Handles one command; dispatcher's worker thread.
    void handleMessage(const void* data, int size, std::uint64_t messageId);

    // Run `action` and wrap its outcome; any exception becomes FAILED with its text.
    std::unique_ptr<Proto::CitrixMessage> runWithAck(std::uint64_t messageId, const std::function<void()>& action);
    std::unique_ptr<Proto::CitrixMessage> runWithObjectId(std::uint64_t messageId,
                                                          const std::function<int()>& action);

    // Throws what the transmitter throws.
    void sendAnswer(const Proto::CitrixMessage& answer, std::uint64_t messageId);
    // The message id the transmitter allocated. Throws what the transmitter throws.
    std::uint64_t sendNotification(const Proto::CitrixMessage& message);

    static std::unique_ptr<Proto::AudioDeviceNotification> buildAudioDeviceNotification(
        int objectId, const AudioDeviceSnapshot& snapshot);
    // The device list as a log line shows it (names through logText).
    static std::string formatAudioDeviceNotification(const Proto::AudioDeviceNotification& notification);

    // IAccountServiceCallback
    void onIncomingCall(int accountId, int callId, int pjsipCallId, const char* sipMessage) override;
    void onAccountRegStateChanged(int accountId, bool isConnected, int status, int statusCode) override;
    // ICallServiceCallback
    void onCallEarly(int accountId, int callId, int pjsipCallId, std::string routeName) override;
    void onCallConfirmed(int accountId, int callId, int pjsipCallId) override;
    void onCallTerminated(int accountId, int callId, int pjsipCallId, int reason) override;
    void onCallMediaState(int accountId, int callId, const SipCallMediaState& mediaState) override;
    void onCallHoldStateChanged(int accountId, int callId, int pjsipCallId, bool isHold) override;
    // IAudioDeviceManagerServiceCallback
    void onAudioDevicesChanged(int objectId, const AudioDeviceSnapshot& snapshot) override;
    // IAppServiceCallback
    void onLogArchiveReady(std::uint64_t requestId, int partCount) override;
    void onLogArchiveFailed(std::uint64_t requestId, const std::string& reason) override;

private:
    using Answer = std::unique_ptr<Proto::CitrixMessage>;

    void onIdleTimer();
    void adoptProtocolVersion(int version);
    Answer dispatch(const Proto::CitrixMessage& request, std::uint64_t messageId);
    // The many cases that name one call, player or recorder by `field` and
    // call one operation on it.
    template <typename Service>
    Answer ackOnObject(const char* name, const char* field, std::uint64_t messageId, int objectId, Service* service,
                       void (Service::*operation)(int));

    Answer handleSipStackAction(const Proto::CitrixMessage& request, std::uint64_t messageId);
    Answer handleAppStart(const Proto::CitrixMessage& request, std::uint64_t messageId);
    Answer handleCreateAccount(const Proto::CitrixMessage& request, std::uint64_t messageId);
    Answer handleMosUpdate(const Proto::CitrixMessage& request, std::uint64_t messageId);
    Answer handleAudioDeviceManagerCreate(std::uint64_t messageId);
    // Null once the packing runs (answered later from the archive's worker);
    // a FAILED answer when it could not be started.
    Answer handleStartLogTransfer(std::uint64_t messageId);
    // The answer to AppStartLogTransferAction `requestId`: SUCCESS with
    // `partCount` parts, or FAILED with `failure` when that is not null.
    static Answer buildLogTransferAnswer(std::uint64_t requestId, int partCount, const char* failure);
    // Archive's worker thread, no handler lock; a send failure is logged.
    void sendLogTransferAnswer(std::uint64_t requestId, int partCount, const char* failure);
    Answer handleTransferLogPart(const Proto::CitrixMessage& request);
    void startSipStack(const Proto::CitrixMessage& request);

    // Sends a notification built by the caller and logs its sending line
    // through `logSent` with the allocated id; a failure is logged and dropped.
    void notify(const char* name, const Proto::CitrixMessage& message,
                const std::function<void(unsigned long long messageId)>& logSent);

    // Guards the handling of one command and the idle tick; first in the lock
    // order, before every service's mutex and the transmitter's locks.
    std::recursive_mutex mutex_;
    IPacketTransmitter* const transmitter_;
    const std::chrono::milliseconds idlePeriod_;
    // When the last command was done (steady clock); a tick that waited for
    // a long command must not count that command's own time as silence.
    std::atomic<std::chrono::steady_clock::rep> lastCommandDone_{0};
    SipStackFacade* facade_ = nullptr;
    AccountService* accountService_ = nullptr;
    CallService* callService_ = nullptr;
    AudioDeviceManagerService* deviceService_ = nullptr;
    AudioPlayerService* playerService_ = nullptr;
    AudioRecorderService* recorderService_ = nullptr;
    LogArchive* logArchive_ = nullptr;
    Timer idleTimer_;  // last: its thread runs onIdleTimer over the members above
};

}  // namespace Tarvent::VirtualChannel
