#include "app/Application.h"

#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

#include "app/ServicePaths.h"
#include "logging/FileAppender.h"
#include "logging/FileAppenderConfig.h"
#include "logging/LogArchive.h"
#include "logging/Logger.h"
#include "proto/ProtobufLogRouter.h"
#include "service/AccountService.h"
#include "service/AudioDeviceManagerService.h"
#include "service/AudioPlayerService.h"
#include "service/AudioRecorderService.h"
#include "service/CallService.h"
#include "service/PacketHandler.h"
#include "service/SipStackFacade.h"
#include "sip/SipStack.h"
#include "transport/PacketDispatcher.h"
#include "transport/PacketTransmitter.h"
#include "util/PathUtil.h"
#include "util/UrlEscaper.h"

namespace Tarvent::VirtualChannel {

namespace {

constexpr const char* kDispatcherFailure = "Failed to initialize packet dispatcher";

// Runs one shutdown step; a failure is logged and the next step still runs,
// so that no thread is left running and nothing escapes to the host.
void runStep(const char* name, const std::function<void()>& step)
{
    try {
        step();
    } catch (const std::exception& e) {
        logError("Shutdown step failed: step=%s; message=\"%s\"", name, e.what());
    } catch (...) {
        logError("Shutdown step failed: step=%s; message=\"unknown exception\"", name);
    }
}

}  // namespace

Application::Application() = default;

Application::Application(Socket listening) : listeningSocket_(std::move(listening))
{
    if (listeningSocket_.valid()) {
        publishedPort_ = listeningSocket_.localPort();
    }
}

Application::~Application()
{
    if (startFailed_) {
        try {
            abandonStart();
        } catch (...) {
            // Nothing is left to report it to; the objects go below either way.
        }
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    deleteObjectsLocked();
}

void Application::start(const std::string& workingDirectory)
{
    try {
        build(workingDirectory);
        publishPort();
    } catch (...) {
        startFailed_ = true;
        throw;
    }
}

void Application::abandonStart()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    startFailed_ = false;
    // A half-built engine must not keep its listener, timers and workers
    // running behind a failed start: the host exits (or is restarted) and
    // nothing would ever stop them in order.
    if (listening_) {
        // The worker hands packets to the handler: it ends before anything goes.
        dispatcher_->requestStop();
        dispatcher_->join();
        listening_ = false;
    }
    shutDownLocked(false);
    deleteObjectsLocked();
    if (urlEscaperInitialized_) {
        UrlEscaper::cleanup();
        urlEscaperInitialized_ = false;
    }
    ProtobufLogRouter::instance().uninstall();
    if (publishedPort_ > 0) {
        const int port = std::exchange(publishedPort_, -1);
        PortPublication::withdraw(port);
    }
}

void Application::build(const std::string& workingDirectory)
{
    UrlEscaper::initialize();
    urlEscaperInitialized_ = true;

    FileAppenderConfig config;
    config.directory = joinPath(workingDirectory, kLogFolder);
    config.fileName = kLogFileName;
    config.maxFileSize = kMaxLogFileSize;
    config.maxFileCount = kLogFileCount;
    // A command's answer must not wait for the disk.
    config.writeBehind = true;
    auto appender = std::make_unique<FileAppender>(config);
    FileAppender* const fileAppender = appender.get();
    Logger::instance().addAppender(std::move(appender));

    logInfo("OVRA started: version=\"%s\"", kVersion);
    // Before any thread of the engine parses a message.
    ProtobufLogRouter::instance().install();

    dispatcher_ = std::make_unique<PacketDispatcher>();
    transmitter_ = std::make_unique<PacketTransmitter>(dispatcher_.get());
    handler_ = std::make_unique<PacketHandler>(transmitter_.get());
    facade_ = std::make_unique<SipStackFacade>();
    callService_ = std::make_unique<CallService>(handler_.get());
    accountService_ = std::make_unique<AccountService>(handler_.get(), callService_.get());
    deviceService_ = std::make_unique<AudioDeviceManagerService>(handler_.get(), facade_.get());
    playerService_ = std::make_unique<AudioPlayerService>(callService_.get());
    recorderService_ =
        std::make_unique<AudioRecorderService>(callService_.get(), joinPath(workingDirectory, kRecordsFolder));
    logArchive_ = std::make_unique<LogArchive>(handler_.get(), config.directory);
    logArchive_->setFileAppender(fileAppender);

    callService_->setAccountService(accountService_.get());
    handler_->setSipStackFacade(facade_.get());
    handler_->setAccountService(accountService_.get());
    handler_->setCallService(callService_.get());
    handler_->setAudioDeviceManagerService(deviceService_.get());
    handler_->setAudioPlayerService(playerService_.get());
    handler_->setAudioRecorderService(recorderService_.get());
    handler_->setLogArchive(logArchive_.get());
    handler_->initProtocolVersion();
    // The stack keeps its private files in the working directory, never in
    // whatever folder the process was started from.
    SipStack::getInstance().setWorkingDirectory(workingDirectory);

    transmitter_->start();
    const bool started =
        listeningSocket_.valid() ? dispatcher_->start(std::move(listeningSocket_)) : dispatcher_->start();
    if (!started) {
        logError("%s", kDispatcherFailure);
        throw std::runtime_error(std::string(kDispatcherFailure) + ".");
    }
    listening_ = true;
}

void Application::publishPort()
{
    const int port = dispatcher_->port();
    logInfo("Writing passive socket port to registry: path=\"HKEY_LOCAL_MACHINE\\%s\\%s\", port=%d", kPortKey,
            kPortValue, port);
    // Withdrawn again when a later step fails, even if this write half failed.
    publishedPort_ = port;
    PortPublication::publish(port);
}

void Application::stop()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (dispatcher_) {
        dispatcher_->requestStop();
    }
}

void Application::run()
{
    PacketDispatcher* dispatcher = nullptr;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        dispatcher = dispatcher_.get();
    }
    if (dispatcher == nullptr) {
        return;
    }
    // The engine's main wait; stop() takes the lock freely meanwhile.
    dispatcher->join();

    const std::lock_guard<std::mutex> lock(mutex_);
    listening_ = false;
    shutDownLocked(true);
    deleteObjectsLocked();
    UrlEscaper::cleanup();
    urlEscaperInitialized_ = false;
    ProtobufLogRouter::instance().uninstall();
}

void Application::shutDownLocked(bool afterRun)
{
    // The listener's worker has ended: no command arrives any more.
    // An idle teardown must never run beside the one below.
    if (handler_) {
        runStep("PacketHandler::stopIdleTimer", [this] { handler_->stopIdleTimer(); });
    }
    if (transmitter_) {
        runStep("IPacketTransmitter::stop", [this] { transmitter_->stop(); });
    }
    if (afterRun) {
        logInfo("Exiting OVRA");
    }
    if (handler_) {
        handler_->tearDownServices();
    }
    // The archive's worker reads the log through the appender: it must be
    // finished and unhooked before the appenders go.
    if (logArchive_) {
        runStep("LogArchive::wait", [this] {
            logArchive_->wait();
            logArchive_->setFileAppender(nullptr);
        });
    }
    if (callService_) {
        callService_->setAccountService(nullptr);
    }
    if (afterRun) {
        Logger::instance().removeAllAppenders();
    }
}

void Application::deleteObjectsLocked()
{
    logArchive_.reset();
    recorderService_.reset();
    playerService_.reset();
    deviceService_.reset();
    accountService_.reset();
    callService_.reset();
    facade_.reset();
    handler_.reset();
    transmitter_.reset();
    dispatcher_.reset();
}

}  // namespace Tarvent::VirtualChannel
