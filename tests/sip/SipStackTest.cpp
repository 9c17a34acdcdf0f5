#include "sip/SipStack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <linphone++/linphone.hh>
#include <linphone/core.h>
#include <mediastreamer2/msfactory.h>

#include "sip/SipAudioLevels.h"
#include "sip/SipCodecs.h"
#include "support/CapturingAppender.h"

namespace Tarvent::VirtualChannel {
namespace {

namespace fs = std::filesystem;
using CorePtr = SipCoreThread::CorePtr;

class SipStackTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = fs::temp_directory_path() /
                 ("ovra-sipstack-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
        stack.setWorkingDirectory(folder.string());
    }

    void TearDown() override
    {
        stack.stop();
        stack.setWorkingDirectory(folder.string());
        fs::remove_all(folder);
    }

    // The enabled audio codecs in the order the stack offers them.
    std::vector<std::string> enabledCodecs()
    {
        return stack.runOnCore([](const CorePtr& core) {
            std::vector<std::string> ids;
            for (const auto& payloadType : core->getAudioPayloadTypes()) {
                if (payloadType->enabled()) {
                    ids.push_back(SipCodecs::codecId(*payloadType));
                }
            }
            return ids;
        });
    }

    bool codecEnabled(const std::string& id)
    {
        return stack.runOnCore([&](const CorePtr& core) {
            const auto payloadType = SipCodecs::findAudio(*core, id);
            return payloadType && payloadType->enabled();
        });
    }

    SipStack& stack = SipStack::getInstance();
    TestSupport::LogCapture capture;
    fs::path folder;
};

TEST_F(SipStackTest, StartsWithTheFixedSettings)
{
    stack.start(false, "Engine/5.0", false, false);
    ASSERT_TRUE(stack.isStarted());
    EXPECT_TRUE(capture.contains("SIP Stack started."));

    const std::vector<std::string> enabled = enabledCodecs();
    const std::vector<std::string> leading(enabled.begin(), enabled.begin() + std::min<std::size_t>(6, enabled.size()));
    EXPECT_EQ(leading, (std::vector<std::string>{"opus/48000/2", "speex/16000/1", "PCMA/8000/1", "PCMU/8000/1",
                                                 "G722/16000/1", "GSM/8000/1"}));
    EXPECT_FALSE(codecEnabled("G729/8000/1"));
    EXPECT_FALSE(codecEnabled("speex/8000/1"));
    EXPECT_FALSE(codecEnabled("speex/32000/1"));
    // This build has no iLBC: logged, skipped, the start goes on.
    EXPECT_TRUE(capture.contains("Exception caught: Codec not available: codec=\"iLBC/8000/1\""));
    EXPECT_TRUE(capture.contains("Available codec 1/"));

    stack.runOnCore([](const CorePtr& core) {
        EXPECT_EQ(core->getUserAgent(), "Engine/5.0");
        EXPECT_EQ(core->getMaxCalls(), 4);
        EXPECT_FALSE(core->autoSendRingingEnabled());
        EXPECT_EQ(core->getMediaResourceMode(), linphone::MediaResourceMode::SharedMediaResources);
        EXPECT_EQ(core->getSipDscp(), 46);
        EXPECT_EQ(core->getAudioDscp(), 46);
        EXPECT_EQ(core->getAudioPortsRange()->getMin(), 10000);
        EXPECT_EQ(core->getAudioPortsRange()->getMax(), 65535);
        EXPECT_FALSE(core->echoCancellationEnabled());  // headsets have no echo to cancel
        EXPECT_FALSE(core->videoCaptureEnabled());
        EXPECT_TRUE(core->getRing().empty());
        const auto used = core->getTransportsUsed();
        EXPECT_GT(used->getUdpPort(), 0);
        EXPECT_GT(used->getTcpPort(), 0);
        EXPECT_GT(used->getTlsPort(), 0);
    });
    EXPECT_EQ(stack.getUserAgentHeader().hName, "User-Agent");
    EXPECT_EQ(stack.getUserAgentHeader().hValue, "Engine/5.0");
}

// The media library's plugins are of no use to an engine without video,
// and the one installed (a video display) brings a widget toolkit along:
// the stack's media factory loads none, so its filter is unknown there.
TEST_F(SipStackTest, LoadsNoMediaPlugins)
{
    stack.start(false, "Engine/5.0", false, false);
    ASSERT_TRUE(stack.isStarted());
    EXPECT_FALSE(stack.runOnCore([](const CorePtr& core) {
        return ms_factory_lookup_filter_by_name(linphone_core_get_ms_factory(core->cPtr()), "MSQOGL") != nullptr;
    }));
}

TEST_F(SipStackTest, G729ComesFirstWhenEnabled)
{
    stack.start(true, "Engine", true, false);
    const std::vector<std::string> enabled = enabledCodecs();
    ASSERT_FALSE(enabled.empty());
    EXPECT_EQ(enabled.front(), "G729/8000/1");
    EXPECT_EQ(enabled.at(1), "opus/48000/2");
}

TEST_F(SipStackTest, StartTwiceKeepsTheFirstSettingsAndStopTwiceOnlyLogs)
{
    stack.start(false, "First", false, false);
    stack.start(false, "Second", true, false);
    EXPECT_TRUE(capture.contains("SIP stack is already started."));
    EXPECT_EQ(stack.getUserAgentHeader().hValue, "First");
    EXPECT_FALSE(codecEnabled("G729/8000/1"));

    stack.stop();
    EXPECT_FALSE(stack.isStarted());
    EXPECT_TRUE(capture.contains("SIP stack stopped."));
    stack.stop();
    EXPECT_TRUE(capture.contains("SIP stack is already stopped"));
    // Kept after the stop for the answers that still go out.
    EXPECT_EQ(stack.getUserAgentHeader().hValue, "First");
    EXPECT_THROW(stack.runOnCore([](const CorePtr&) {}), SipError);
    EXPECT_FALSE(fs::exists(folder / "sip"));
}

TEST_F(SipStackTest, StartsAndStopsTwentyTimesInARow)
{
    for (int i = 0; i < 20; ++i) {
        stack.start(false, "Engine", i % 2 == 0, false);
        ASSERT_TRUE(stack.isStarted());
        ASSERT_EQ(enabledCodecs().at(0), i % 2 == 0 ? "G729/8000/1" : "opus/48000/2");
        stack.stop();
        ASSERT_FALSE(stack.isStarted());
    }
}

TEST_F(SipStackTest, AFailedStartLeavesNothingAndTheNextStartWorks)
{
    const fs::path blocker = folder / "file";
    std::ofstream(blocker) << "not a folder";
    stack.setWorkingDirectory(blocker.string());
    EXPECT_THROW(stack.start(false, "Engine", false, false), std::runtime_error);
    EXPECT_FALSE(stack.isStarted());
    EXPECT_TRUE(capture.contains("Failed to start SIP stack: reason=\"Failed to prepare folder"));
    EXPECT_THROW(stack.runOnCore([](const CorePtr&) {}), SipError);

    stack.setWorkingDirectory(folder.string());
    stack.start(false, "Engine", false, false);
    EXPECT_TRUE(stack.isStarted());
    EXPECT_TRUE(fs::is_directory(folder / "sip"));
}

TEST_F(SipStackTest, SipLogFollowsTheStartSetting)
{
    stack.start(false, "Engine", false, true);
    EXPECT_TRUE(capture.contains("PJSIP: "));
    // Discovery chatter never reaches the log.
    EXPECT_FALSE(capture.contains("Registering all soundcard handlers"));
    stack.stop();

    capture.store().clear();
    stack.start(false, "Engine", false, false);
    stack.stop();
    EXPECT_FALSE(capture.contains("PJSIP: "));
}

TEST_F(SipStackTest, LevelsAndMuteWhileStoppedChangeNothing)
{
    stack.setPlaybackLevel(0.25f);
    stack.setCaptureLevel(0.25f);
    stack.muteMicrophone(true);
    EXPECT_TRUE(capture.contains("Failed to set playback audio level because SIP stack is not running"));
    EXPECT_TRUE(capture.contains("Failed to set capture audio level because SIP stack is not running"));
    EXPECT_TRUE(capture.contains("Failed to mute microphone because SIP stack is not running"));
    EXPECT_EQ(stack.getPlaybackLevel(), 1.0f);
    EXPECT_EQ(stack.getCaptureLevel(), 1.0f);
    EXPECT_FALSE(stack.isMicrophoneMuted());
    EXPECT_FALSE(stack.setCodecPriority("PCMU/8000/1", 10));
    EXPECT_TRUE(capture.contains("Failed to set codec priority because SIP stack is not running."));
}

TEST_F(SipStackTest, RejectsNegativeAndNonFiniteLevels)
{
    stack.start(false, "Engine", false, false);
    for (const float bad : {-0.5f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        EXPECT_THROW(stack.setPlaybackLevel(bad), std::runtime_error);
        EXPECT_THROW(stack.setCaptureLevel(bad), std::runtime_error);
    }
    EXPECT_EQ(stack.getPlaybackLevel(), 1.0f);
    EXPECT_EQ(stack.getCaptureLevel(), 1.0f);

    stack.setPlaybackLevel(0.0f);
    EXPECT_EQ(stack.getPlaybackLevel(), 0.0f);
    EXPECT_TRUE(std::isfinite(SipAudioLevels::libraryGainDb(0.0f)));
}

TEST_F(SipStackTest, MuteSwitchesTheMicrophoneAndKeepsTheCaptureLevel)
{
    stack.start(false, "Engine", false, false);
    const auto micOn = [&]() { return stack.runOnCore([](const CorePtr& core) { return core->micEnabled(); }); };

    stack.muteMicrophone(true);
    EXPECT_FALSE(micOn());
    EXPECT_TRUE(stack.isMicrophoneMuted());
    stack.setCaptureLevel(0.5f);
    EXPECT_EQ(stack.getCaptureLevel(), 0.5f);
    EXPECT_FALSE(micOn()) << "a capture level unmuted the microphone";

    stack.muteMicrophone(false);
    EXPECT_TRUE(micOn());
    EXPECT_FALSE(stack.isMicrophoneMuted());
    EXPECT_EQ(stack.getCaptureLevel(), 0.5f);
}

TEST_F(SipStackTest, CodecPriorityReordersAndDisables)
{
    stack.start(false, "Engine", false, false);
    EXPECT_TRUE(stack.setCodecPriority("pcmu/8000/1", 200));  // ids compare case-insensitively
    EXPECT_EQ(enabledCodecs().front(), "PCMU/8000/1");
    EXPECT_TRUE(stack.setCodecPriority("opus/48000/2", 0));
    EXPECT_FALSE(codecEnabled("opus/48000/2"));
    EXPECT_TRUE(stack.setCodecPriority("opus/48000/2", 256 + 132));  // the low 8 bits: 132
    EXPECT_EQ(enabledCodecs().at(1), "opus/48000/2");
    EXPECT_FALSE(stack.setCodecPriority("nonsense/1/1", 132));
}

// Reaches back into the stack from the callbacks that the Core's own
// shutdown raises, as the call and account callbacks do.
class ReentrantListener : public linphone::CoreListener {
public:
    void onGlobalStateChanged(const std::shared_ptr<linphone::Core>& /*core*/, linphone::GlobalState state,
                              const std::string& /*message*/) override
    {
        SipStack& stack = SipStack::getInstance();
        const bool started = stack.isStarted();
        (void)stack.getPlaybackLevel();
        const int calls = stack.runOnCore([](const CorePtr& core) { return core->getCallsNb(); });
        const std::lock_guard<std::mutex> lock(mutex);
        states.push_back(state);
        allStarted = allStarted && started && calls == 0;
    }

    std::mutex mutex;
    std::vector<linphone::GlobalState> states;
    bool allStarted = true;
};

TEST_F(SipStackTest, StopDoesNotDeadlockAgainstCallbacksThatUseTheStack)
{
    stack.start(false, "Engine", false, false);
    const auto listener = std::make_shared<ReentrantListener>();
    stack.runOnCore([&](const CorePtr& core) { core->addListener(listener); });
    stack.stop();

    const std::lock_guard<std::mutex> lock(listener->mutex);
    EXPECT_NE(std::find(listener->states.begin(), listener->states.end(), linphone::GlobalState::Shutdown),
              listener->states.end());
    EXPECT_TRUE(listener->allStarted);
    EXPECT_FALSE(stack.isStarted());
}

TEST_F(SipStackTest, OperationsFromManyThreadsWhileStartingAndStopping)
{
    std::atomic<bool> done{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&, t]() {
            while (!done) {
                try {
                    stack.ensureThreadRegistered();
                    stack.setPlaybackLevel(0.5f + 0.1f * static_cast<float>(t));
                    stack.muteMicrophone(t % 2 == 0);
                    stack.setCodecPriority("PCMU/8000/1", 132);
                    stack.runOnCore([](const CorePtr& core) { return core->getCallsNb(); });
                    (void)stack.isStarted();
                    (void)stack.getUserAgentHeader();
                } catch (const SipError&) {
                    // The stack stopped between the test and the call.
                }
            }
        });
    }
    for (int i = 0; i < 5; ++i) {
        stack.start(false, "Engine", false, false);
        stack.stop();
    }
    done = true;
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_FALSE(stack.isStarted());
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
