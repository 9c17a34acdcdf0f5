#include "sip/SipStack.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <list>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include <linphone++/linphone.hh>

#include "logging/Logger.h"
#include "sip/SipAudioLevels.h"
#include "sip/SipCodecs.h"
#include "sip/SipConference.h"
#include "sip/SipCredentials.h"
#include "sip/SipDialogWatch.h"
#include "sip/SipHangupWatch.h"
#include "sip/SipIncomingCalls.h"
#include "sip/SipLibraryObjects.h"
#include "sip/SipLogListener.h"
#include "sip/SipMediaTimeout.h"
#include "sip/SipMessageTap.h"
#include "sip/SipPulseServer.h"
#include "sip/SipPulseSoundCards.h"
#include "sip/SipRecordingSources.h"
#include "sip/SipSideProvider.h"
#include "sip/SipWavFile.h"
#include "util/LogText.h"

namespace Tarvent::VirtualChannel {

namespace {

// The stack's private files (the library's data and configuration folders).
const char* const kPrivateFolder = "sip";

// The library takes ports of -1 as "any free port".
constexpr int kRandomPort = -1;
constexpr int kRtpPortMin = 10000;
constexpr int kRtpPortMax = 65535;
constexpr int kMaxCalls = 4;
constexpr const char* kSoundServerLatencyMs = "40";
// How long a stop waits for the registrars to answer the unregistrations.
constexpr std::chrono::milliseconds kUnregistrationWait{2000};
// How often a stop looks whether what it waits for has come.
constexpr std::chrono::milliseconds kStopPoll{5};
// How long a stop waits for the far ends to answer the hang-ups it sent them
// directly (see SipHangupWatch).
constexpr std::chrono::milliseconds kDirectHangupWait{1000};
// Incoming calls ring until the softphone answers or the caller gives up.
constexpr int kIncomingCallTimeoutSeconds = 24 * 60 * 60;
// What the library plays when a call is put on hold: no sound at all.
const char* const kSilentToneFile = "silence.wav";

constexpr unsigned kAllLogLevels = static_cast<unsigned>(linphone::LogLevel::Debug) |
                                   static_cast<unsigned>(linphone::LogLevel::Trace) |
                                   static_cast<unsigned>(linphone::LogLevel::Message) |
                                   static_cast<unsigned>(linphone::LogLevel::Warning) |
                                   static_cast<unsigned>(linphone::LogLevel::Error) |
                                   static_cast<unsigned>(linphone::LogLevel::Fatal);

// Nothing is kept between runs: no databases, no tone indications (the
// softphone plays its own busy, end-of-call and waiting tones), and no echo
// cancellation (see kEchoCancellation; its tail stays at 200 ms).
// Nor within a run: without a database the library keeps every ended call's
// log (addresses, quality report) in memory, without limit, and nothing here
// reads them back; a call's own log lives as long as the call.
// DSCP 46 (expedited forwarding) for SIP and RTP goes in here:
// the start reads it before it opens the sockets.
// A call from a party this side is already in a call with is taken like any
// other (the accounts' own busy rule applies): the library would refuse it
// 486 as a duplicate, and with it the call by which a far end that was
// referred to this account takes another call over (INVITE with Replaces).
const char* const kCoreConfig =
    "[storage]\n"
    "uri=null\n"
    "call_logs_db_uri=null\n"
    "zrtp_secrets_db_uri=null\n"
    "[misc]\n"
    "history_max_size=0\n"
    "[sip]\n"
    "dscp=46\n"
    "reject_duplicated_calls=0\n"
    "auto_net_state_mon=0\n"
    "[rtp]\n"
    "audio_dscp=46\n"
    "[sound]\n"
    "tone_indications=0\n"
    "echocancellation=0\n"
    "ec_tail_len=200\n";

struct CodecRow {
    const char* codecId;
    int priority;
};

constexpr const char* kG729 = "G729/8000/1";
constexpr CodecRow kG729Row = {kG729, 132};
constexpr CodecRow kCodecTable[] = {
    {"opus/48000/2", 132}, {"speex/16000/1", 132}, {"PCMA/8000/1", 132}, {"PCMU/8000/1", 132},
    {"G722/16000/1", 132}, {"GSM/8000/1", 132},    {"iLBC/8000/1", 0},   {"speex/8000/1", 0},
    {"speex/32000/1", 0},
};

void checkLevel(float level)
{
    if (!std::isfinite(level) || level < 0.0f) {
        logError("Invalid audio level: level=%f", static_cast<double>(level));
        throw std::runtime_error("Invalid audio level: level=" + std::to_string(level));
    }
}

void checkStatus(linphone::Status status, const char* operation)
{
    if (status != 0) {
        OVRA_THROW_SIP_ERROR(status, operation, std::string(operation) + " failed");
    }
}

// Empties (and creates) the private folder; returns it with a trailing slash.
std::string preparePrivateFolder(const std::string& workingDirectory)
{
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(workingDirectory.empty() ? "." : workingDirectory) / kPrivateFolder;
    std::error_code error;
    fs::remove_all(folder, error);
    if (!error) {
        fs::create_directories(folder, error);
    }
    if (error) {
        OVRA_THROW_SIP_ERROR(error.value(), "SipStack::start",
                             "Failed to prepare folder " + folder.string() + ": " + error.message());
    }
    std::string path = folder.string();
    path += '/';
    return path;
}

void removePrivateFolder(const std::string& workingDirectory)
{
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(workingDirectory.empty() ? "." : workingDirectory) /
                                    kPrivateFolder,
                                ignored);
}

// Puts the levels on the streams a call or the conference (re)starts: the
// library starts every stream at its own idea of the levels. Core thread;
// the Core holds it.
class LevelHook : public linphone::CoreListener {
public:
    void onCallStateChanged(const std::shared_ptr<linphone::Core>& core, const std::shared_ptr<linphone::Call>& /*call*/,
                            linphone::Call::State /*state*/, const std::string& /*message*/) override
    {
        SipStack::getInstance().applyLevels(core);
    }

    void onConferenceStateChanged(const std::shared_ptr<linphone::Core>& core,
                                  const std::shared_ptr<linphone::Conference>& /*conference*/,
                                  linphone::Conference::State /*state*/) override
    {
        SipStack::getInstance().applyLevels(core);
    }
};

}  // namespace

void SipStack::postToCore(std::function<void(const SipCoreThread::CorePtr&)> operation)
{
    coreThreadOrThrow()->postLater(std::move(operation));
}

void SipStack::applyProcessDefaults()
{
    ::setenv("PULSE_LATENCY_MSEC", kSoundServerLatencyMs, 0);
}

SipStack& SipStack::getInstance()
{
    static SipStack instance;
    return instance;
}

SipStack::SipStack()
    : messageTap(std::make_shared<SipMessageTap>()),
      dialogWatch(std::make_unique<SipDialogWatch>()),
      incomingCalls(std::make_unique<SipIncomingCalls>()),
      credentials(std::make_unique<SipCredentials>()),
      sideProvider(std::make_shared<SipSideProvider>()),
      hangupWatch(std::make_shared<SipHangupWatch>(sideProvider, *dialogWatch)),
      conference(std::make_unique<SipConference>(*this)),
      recordingSources(std::make_unique<SipRecordingSources>(*this))
{
    // Before anything of the library runs on a thread of its own.
    SipLibraryObjects::instance();
    // Made first, so that it outlives this stack at process exit: a Core still
    // running then has streams on it.
    SipPulseServer::getInstance();
}

SipStack::~SipStack()
{
    // At process exit a stack still running goes down without a word: the
    // Logger may be gone already, so the library's lines are cut off first.
    std::shared_ptr<SipCoreThread> thread;
    {
        const std::lock_guard<std::recursive_mutex> lock(mutex);
        thread = std::move(coreThread);
    }
    SipLibraryObjects::instance().logListener().deactivate();
    if (thread && !thread->isCoreThread()) {
        thread->shutdown();
    }
}

void SipStack::ensureThreadRegistered() {}

void SipStack::setWorkingDirectory(const std::string& path)
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    workingDirectory = path;
}

std::shared_ptr<SipCoreThread> SipStack::coreThreadOrThrow()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    if (!started || !coreThread) {
        OVRA_THROW_SIP_ERROR(-1, "SipStack", "SIP stack is not running");
    }
    return coreThread;
}

SipCoreThread::CorePtr SipStack::createCore(bool sipLogEnabled)
{
    const std::shared_ptr<linphone::Factory> factory = linphone::Factory::get();
    std::string workingFolder;
    std::string agent;
    {
        const std::lock_guard<std::recursive_mutex> lock(mutex);
        workingFolder = workingDirectory;
        agent = userAgent;
    }
    const std::string folder = preparePrivateFolder(workingFolder);
    factory->setDataDir(folder);
    factory->setConfigDir(folder);
    // The media library's plugins hold no audio codec or device of ours,
    // only a video display that brings a whole widget toolkit (some 8 MB of
    // resident pages) into a process that shows no video: a folder with no
    // plugins in it loads none.
    factory->setMspluginsDir(folder);
    SipLibraryObjects::instance().loggingService().setLogLevelMask(sipLogEnabled ? kAllLogLevels : 0u);
    // Setting the level resets every domain's mask, the tap's too.
    SipMessageTap::enableReceivedMessageLogging();

    const std::shared_ptr<linphone::Config> config = factory->createConfigFromString(kCoreConfig);
    if (!config) {
        OVRA_THROW_SIP_ERROR(-1, "Factory::createConfigFromString", "Failed to create the SIP stack configuration");
    }
    config->setInt("sip", "refresher_retry_after", static_cast<int>(kRegistrationRetry.count()));
    SipPulseSoundCards::CreationGuard soundCards;
    SipCoreThread::CorePtr core = factory->createCoreWithConfig(config, nullptr);
    if (!core) {
        OVRA_THROW_SIP_ERROR(-1, "Factory::createCoreWithConfig", "Failed to create the SIP stack");
    }
    core->enableAutoIterate(false);
    core->setUserAgent(agent, "");
    // The softphone rings and plays the ringback itself (an empty path is no sound).
    core->setRing("");
    core->setRingback("");
    core->setRemoteRingbackTone("");
    // The hold beep is the one tone no setting turns off; it plays this file instead.
    const std::string silence = folder + kSilentToneFile;
    SipWavFile::createEmpty(silence);
    core->setTone(linphone::ToneID::CallOnHold, silence);
    core->enableVideoCapture(false);
    core->enableVideoDisplay(false);
    const std::shared_ptr<linphone::VideoActivationPolicy> videoPolicy = factory->createVideoActivationPolicy();
    videoPolicy->setAutomaticallyAccept(false);
    videoPolicy->setAutomaticallyInitiate(false);
    core->setVideoActivationPolicy(videoPolicy);
    core->setMaxCalls(kMaxCalls);
    core->enableAutoSendRinging(false);
    core->setMediaResourceMode(linphone::MediaResourceMode::SharedMediaResources);
    core->setIncTimeout(kIncomingCallTimeoutSeconds);
    core->setAudioPortRange(kRtpPortMin, kRtpPortMax);
    core->setNortpTimeout(static_cast<int>(kSipMediaTimeout.count()));
    core->enableEchoCancellation(kEchoCancellation);
    core->addListener(std::make_shared<LevelHook>());
    core->addListener(recordingSources->coreListener());

    const std::shared_ptr<linphone::Transports> transports = factory->createTransports();
    transports->setUdpPort(kRandomPort);
    transports->setTcpPort(kRandomPort);
    transports->setTlsPort(kRandomPort);
    transports->setDtlsPort(0);
    checkStatus(core->setTransports(transports), "Core::setTransports");

    checkStatus(core->start(), "Core::start");
    SipPulseSoundCards::install(core, soundCards);
    dialogWatch->attach(*core);
    incomingCalls->attach(core);
    credentials->attach(core);
    // The library's own network monitor (off in the configuration above)
    // takes a machine whose route to the outside leads through loopback, or
    // nowhere, for offline, and then drops every registration without
    // unregistering it. Registrars on this machine or a private network are
    // as reachable as any: the network counts as up, and failed
    // registrations are retried as usual.
    core->setNetworkReachable(true);
    const std::shared_ptr<linphone::Transports> used = core->getTransportsUsed();
    if (!used || used->getUdpPort() <= 0 || used->getTcpPort() <= 0 || used->getTlsPort() <= 0) {
        OVRA_THROW_SIP_ERROR(-1, "Core::setTransports", "Failed to open the UDP, TCP and TLS transports");
    }
    // Last: nothing after them fails, so they always go with the Core's shutdown.
    sideProvider->attach(*core);
    hangupWatch->attach(*core);
    listCodecs(*core);
    return core;
}

void SipStack::listCodecs(linphone::Core& core)
{
    const std::list<std::shared_ptr<linphone::PayloadType>> payloadTypes = core.getAudioPayloadTypes();
    const unsigned count = static_cast<unsigned>(payloadTypes.size());
    unsigned index = 0;
    for (const auto& payloadType : payloadTypes) {
        // The library orders codecs instead of weighing them: the first
        // enabled one ranks highest, a disabled one has priority 0.
        const int priority = payloadType->enabled() ? std::max(1, 128 - static_cast<int>(index)) : 0;
        ++index;
        logDebug("Available codec %u/%u: %s - priority %d", index, count,
                 SipCodecs::codecId(*payloadType).c_str(), priority);
    }
}

void SipStack::start(bool noVad, const char* userAgentValue, bool g729Enabled, bool sipLogEnabled)
{
    const std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    {
        const std::lock_guard<std::recursive_mutex> lock(mutex);
        logInfo("Starting SIP stack.");
        if (started) {
            logDebug("SIP stack is already started.");
            return;
        }
        userAgent = userAgentValue != nullptr ? userAgentValue : "";
        codecPriorities.clear();
        appliedLevels = SipAudioLevels::Levels{};
    }
    // The library sends no silence suppression of its own: with or without
    // noVad every audio frame is sent.
    (void)noVad;

    std::shared_ptr<SipCoreThread> thread;
    try {
        messageTap->clear();
        SipLibraryObjects::instance().logListener().activate(sipLogEnabled, messageTap);
        thread = std::make_shared<SipCoreThread>([this, sipLogEnabled]() { return createCore(sipLogEnabled); });
        {
            const std::lock_guard<std::recursive_mutex> lock(mutex);
            coreThread = thread;
            started = true;
        }
        logInfo("Initializing codec.");
        if (g729Enabled) {
            setCodecPriority(kG729Row.codecId, kG729Row.priority);
        } else {
            disableCodec(kG729);
        }
        for (const CodecRow& row : kCodecTable) {
            setCodecPriority(row.codecId, row.priority);
        }
        logInfo("SIP Stack started.");
        return;
    } catch (const SipError& error) {
        failStart(error.reason, std::move(thread));
    } catch (const std::exception& error) {
        failStart(error.what(), std::move(thread));
    }
}

void SipStack::failStart(const std::string& reason, std::shared_ptr<SipCoreThread> thread)
{
    logError("Failed to start SIP stack: reason=\"%s\"", reason.c_str());
    shutDown(std::move(thread));
    throw std::runtime_error(reason);
}

void SipStack::shutDown(std::shared_ptr<SipCoreThread> thread)
{
    // The stack counts as started until its Core is gone, so that callbacks
    // raised while the Core goes down can still reach it (inline, on the core
    // thread); other threads' operations are refused by the thread meanwhile.
    if (thread) {
        thread->shutdown();
    }
    std::string folder;
    {
        const std::lock_guard<std::recursive_mutex> lock(mutex);
        started = false;
        coreThread.reset();
        folder = workingDirectory;
    }
    SipLibraryObjects::instance().logListener().deactivate();
    removePrivateFolder(folder);
}

namespace {

// Asks `done` on the core thread every few milliseconds until it holds;
// false when `wait` passed first. SipError when the thread is gone.
template <class Done>
bool pollOnCore(SipCoreThread& thread, const Done& done, std::chrono::milliseconds wait)
{
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!thread.run(done)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kStopPoll);
    }
    return true;
}

void unregisterAccounts(SipCoreThread& thread)
{
    // Stopped at once, the Core would leave every binding at its registrar
    // until it expires; a registrar that does not answer is given up on.
    const auto unregistering = [](const SipCoreThread::CorePtr& core) {
        int count = 0;
        for (const auto& account : core->getAccountList()) {
            const auto state = account->getState();
            if (state == linphone::RegistrationState::Ok && account->getParams()->registerEnabled()) {
                const auto params = account->getParams()->clone();
                params->enableRegister(false);
                account->setParams(params);
            }
            if (!account->getParams()->registerEnabled() &&
                (state == linphone::RegistrationState::Ok || state == linphone::RegistrationState::Progress)) {
                ++count;
            }
        }
        return count;
    };
    try {
        const auto unregistered = [&](const SipCoreThread::CorePtr& core) { return unregistering(core) == 0; };
        if (!pollOnCore(thread, unregistered, kUnregistrationWait)) {
            logWarning("Stopping SIP stack before every account was unregistered");
        }
    } catch (const SipError& error) {
        // The stop goes on: nothing is left to unregister through.
        logWarning("Failed to unregister accounts: reason=\"%s\"", error.reason.c_str());
    }
}

}  // namespace

void SipStack::deliverHangups(SipCoreThread& thread)
{
    // The Core goes in a moment, and with it every BYE it still retransmits
    // to a proxy that does not answer: those go to the far ends directly.
    try {
        thread.run([this](const SipCoreThread::CorePtr&) { hangupWatch->sendUnansweredDirectly(); });
        const auto settled = [this](const SipCoreThread::CorePtr&) { return hangupWatch->settled(); };
        if (!pollOnCore(thread, settled, kDirectHangupWait)) {
            logWarning("Stopping SIP stack before every hang-up was answered");
        }
    } catch (const SipError& error) {
        logWarning("Failed to deliver hang-ups: reason=\"%s\"", error.reason.c_str());
    }
}

void SipStack::stop()
{
    const std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    // A conference left running would have the next start answer every
    // incoming call busy.
    conference->reset();
    std::shared_ptr<SipCoreThread> thread;
    {
        const std::lock_guard<std::recursive_mutex> lock(mutex);
        logInfo("Stopping SIP stack.");
        if (!started) {
            logDebug("SIP stack is already stopped");
            return;
        }
        thread = coreThread;
    }
    try {
        if (thread->isCoreThread()) {
            OVRA_THROW_SIP_ERROR(-1, "SipStack::stop", "The SIP stack can't be stopped from its own thread");
        }
        thread->run([](const SipCoreThread::CorePtr& core) {
            checkStatus(core->terminateAllCalls(), "Core::terminateAllCalls");
        });
    } catch (const SipError& error) {
        logError("Failed to stop SIP stack: reason=\"%s\"", error.reason.c_str());
        throw;
    }
    unregisterAccounts(*thread);
    deliverHangups(*thread);
    // Callbacks in flight finish first: the Core goes down as a task queued
    // behind them, and no lock of ours is held while we wait for it.
    shutDown(std::move(thread));
    logInfo("SIP stack stopped.");
}

bool SipStack::isStarted()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    return started;
}

bool SipStack::isConferenceRunning()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    return conferenceRunning;
}

float SipStack::getPlaybackLevel()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    return playbackLevel;
}

float SipStack::getCaptureLevel()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    return captureLevel;
}

bool SipStack::isMicrophoneMuted()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    return microphoneMuted;
}

SipHeader SipStack::getUserAgentHeader()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    return SipHeader{"User-Agent", userAgent};
}

bool SipStack::setCodecPriority(const char* codecId, int priority)
{
    const std::string id = codecId != nullptr ? codecId : "";
    {
        const std::lock_guard<std::recursive_mutex> lock(mutex);
        if (!started) {
            logError("Failed to set codec priority because SIP stack is not running.");
            return false;
        }
        logInfo("Setting codec priority: codec=\"%s\"; priority=%d;", logText(id).c_str(), priority);
    }
    try {
        runOnCore([&](const SipCoreThread::CorePtr& core) {
            applyCodecPriority(*core, id, static_cast<unsigned>(priority) & 0xFFu);
        });
        return true;
    } catch (const SipError& error) {
        logError("Exception caught: %s", error.reason.c_str());
        return false;
    }
}

void SipStack::applyCodecPriority(linphone::Core& core, const std::string& codecId, unsigned priority)
{
    const std::shared_ptr<linphone::PayloadType> target = SipCodecs::findAudio(core, codecId);
    if (!target) {
        OVRA_THROW_SIP_ERROR(-1, "SipStack::setCodecPriority", "Codec not available: codec=\"" + codecId + "\"");
    }
    if (target->enable(priority > 0) != 0) {
        OVRA_THROW_SIP_ERROR(-1, "PayloadType::enable", "Failed to enable codec: codec=\"" + codecId + "\"");
    }
    std::map<std::string, unsigned> priorities;
    {
        const std::lock_guard<std::recursive_mutex> lock(mutex);
        codecPriorities[SipCodecs::codecId(*target)] = priority;
        priorities = codecPriorities;
    }

    // The library ranks codecs by their place in the list: rank them by
    // priority, codecs given none below every given one (in their order),
    // disabled ones last, and a codec after the others of its priority.
    std::list<std::shared_ptr<linphone::PayloadType>> order = core.getAudioPayloadTypes();
    order.remove_if([&](const std::shared_ptr<linphone::PayloadType>& payloadType) {
        return payloadType->cPtr() == target->cPtr();
    });
    const auto priorityOf = [&priorities](const std::shared_ptr<linphone::PayloadType>& payloadType) -> unsigned {
        const auto found = priorities.find(SipCodecs::codecId(*payloadType));
        if (found != priorities.end()) {
            return found->second;
        }
        return payloadType->enabled() ? 1u : 0u;
    };
    const auto insertAt = std::find_if(order.begin(), order.end(), [&](const auto& payloadType) {
        return priorityOf(payloadType) < priority;
    });
    order.insert(insertAt, target);
    core.setAudioPayloadTypes(order);
}

void SipStack::disableCodec(const std::string& codecId)
{
    runOnCore([&](const SipCoreThread::CorePtr& core) {
        const std::shared_ptr<linphone::PayloadType> payloadType = SipCodecs::findAudio(*core, codecId);
        if (payloadType) {
            payloadType->enable(false);
        }
    });
}

void SipStack::setPlaybackLevel(float level)
{
    logInfo("Setting playback audio level: level=%f", static_cast<double>(level));
    checkLevel(level);
    if (!isStarted()) {
        logError("Failed to set playback audio level because SIP stack is not running");
        return;
    }
    ensureThreadRegistered();
    runOnCore([&](const SipCoreThread::CorePtr& core) {
        SipAudioLevels::Levels levels = currentLevels();
        levels.playback = level;
        SipAudioLevels::apply(core, levels);
        const std::lock_guard<std::recursive_mutex> lock(mutex);
        appliedLevels = levels;
        playbackLevel = level;
    });
}

void SipStack::setCaptureLevel(float level)
{
    logInfo("Set capture audio level: level=%f", static_cast<double>(level));
    checkLevel(level);
    if (!isStarted()) {
        logError("Failed to set capture audio level because SIP stack is not running");
        return;
    }
    ensureThreadRegistered();
    runOnCore([&](const SipCoreThread::CorePtr& core) {
        // A muted microphone keeps the level for its unmute.
        SipAudioLevels::Levels levels = currentLevels();
        levels.capture = level;
        SipAudioLevels::apply(core, levels);
        const std::lock_guard<std::recursive_mutex> lock(mutex);
        appliedLevels = levels;
        captureLevel = level;
    });
}

void SipStack::muteMicrophone(bool mute)
{
    logInfo("Set microphone muted");
    if (!isStarted()) {
        logError("Failed to mute microphone because SIP stack is not running");
        return;
    }
    ensureThreadRegistered();
    runOnCore([&](const SipCoreThread::CorePtr& core) {
        core->enableMic(!mute);
        applyLevels(core);
        const std::lock_guard<std::recursive_mutex> lock(mutex);
        microphoneMuted = mute;
    });
}

SipAudioLevels::Levels SipStack::currentLevels()
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    return appliedLevels;
}

void SipStack::applyLevels(const SipCoreThread::CorePtr& core)
{
    SipAudioLevels::apply(core, currentLevels());
}

void SipStack::refreshLevels()
{
    try {
        runOnCore([this](const SipCoreThread::CorePtr& core) { applyLevels(core); });
    } catch (const SipError&) {
        // Stopped meanwhile: no streams are left to put levels on.
    }
}

void SipStack::setConferenceRunning(bool running)
{
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    conferenceRunning = running;
}

void SipStack::startConference(const std::vector<std::shared_ptr<SipAccount>>& accounts)
{
    conference->start(accounts);
    refreshLevels();
}

void SipStack::stopConference()
{
    conference->stop();
    refreshLevels();
}

void SipStack::joinConference(std::shared_ptr<SipCall> call)
{
    conference->join(call);
    refreshLevels();
}

void SipStack::joinConference(std::shared_ptr<SipCall> call, const std::vector<std::shared_ptr<SipCall>>& allCalls)
{
    conference->join(call, allCalls);
    refreshLevels();
}

void SipStack::leaveConference(std::shared_ptr<SipCall> call)
{
    conference->leave(call);
    refreshLevels();
}

void SipStack::leaveConference(std::shared_ptr<SipCall> call, const std::vector<std::shared_ptr<SipCall>>& allCalls)
{
    conference->leave(call, allCalls);
    refreshLevels();
}

std::vector<std::shared_ptr<SipCall>> SipStack::getConferenceCalls()
{
    return conference->getCalls();
}

bool SipStack::resumeInConference(std::shared_ptr<SipCall> call)
{
    const bool joined = conference->resume(call);
    refreshLevels();
    return joined;
}

}  // namespace Tarvent::VirtualChannel
