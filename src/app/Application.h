#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "app/IServiceApplication.h"
#include "app/PortPublication.h"
#include "platform/Socket.h"

namespace Tarvent::VirtualChannel {

class AccountService;
class AudioDeviceManagerService;
class AudioPlayerService;
class AudioRecorderService;
class CallService;
class IPacketTransmitter;
class LogArchive;
class PacketDispatcher;
class PacketHandler;
class SipStackFacade;

// The engine's composition root: builds the channel, the packet handler and
// the services in a fixed order, wires them, publishes the listening port in
// the registry, and after the listener ended tears everything down and
// deletes it in reverse order. One instance per process.
// Threads: start and run on the service host's main thread; stop on the
// host's signal thread (also while run waits for the listener).
class Application : public IServiceApplication {
public:
    static constexpr const char* kVersion = "5.0.1151";
    static constexpr const char* kLogFileName = "ovra";
    static constexpr std::int64_t kMaxLogFileSize = 10485760;
    static constexpr std::int32_t kLogFileCount = 2;
    static constexpr const char* kPortKey = PortPublication::kKey;
    static constexpr const char* kPortValue = PortPublication::kValue;

    Application();
    // With a socket already listening on loopback (opened, and its port
    // published, before the engine was loaded); start serves it instead of
    // opening its own. An invalid socket means none.
    explicit Application(Socket listening);
    // Deletes whatever is still built; runs no teardown and logs nothing
    // (but abandons a failed start nobody abandoned, see abandonStart).
    ~Application() override;

    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Throws when a step fails, leaving what it built for abandonStart.
    void start(const std::string& workingDirectory) override;
    void run() override;
    void stop() override;
    // Stops and deletes what a failed start built (the log appender stays,
    // so that later lines still reach the log), and withdraws the port that
    // was published for the listener (by the executable or by start), so
    // that no client is sent to a socket nobody serves.
    void abandonStart() override;

private:
    void build(const std::string& workingDirectory);
    void publishPort();
    // Once the listener's worker has ended: ends every other thread of the
    // engine and tears the services down; each step runs even when an
    // earlier one failed. `afterRun` (not after a failed start) says so in
    // the log and ends the log files' part in it. Caller holds mutex_.
    void shutDownLocked(bool afterRun);
    // Deletes the objects in reverse order of creation. Caller holds mutex_.
    void deleteObjectsLocked();

    // Guards the owned objects against stop() while run or a failed start
    // shuts them down. Before the handler's and the services' locks.
    std::mutex mutex_;
    std::unique_ptr<PacketDispatcher> dispatcher_;
    std::unique_ptr<IPacketTransmitter> transmitter_;
    std::unique_ptr<PacketHandler> handler_;
    std::unique_ptr<SipStackFacade> facade_;
    std::unique_ptr<CallService> callService_;
    std::unique_ptr<AccountService> accountService_;
    std::unique_ptr<AudioDeviceManagerService> deviceService_;
    std::unique_ptr<AudioPlayerService> playerService_;
    std::unique_ptr<AudioRecorderService> recorderService_;
    std::unique_ptr<LogArchive> logArchive_;
    // Whether the listener's worker runs and still has to be joined.
    bool listening_ = false;
    // A start threw and its leftovers still wait for abandonStart.
    bool startFailed_ = false;
    // The port published for the listener, by the executable or by start; -1 for none.
    int publishedPort_ = -1;
    bool urlEscaperInitialized_ = false;
    // Handed to the dispatcher by start; invalid afterwards or when none was given.
    Socket listeningSocket_;
};

}  // namespace Tarvent::VirtualChannel
