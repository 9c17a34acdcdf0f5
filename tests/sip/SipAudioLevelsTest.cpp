// The stack's playback and capture levels measured in real calls: the far
// ends speak and listen through sound devices of the test's PulseAudio
// server, and so does the engine, so what each side hears is read from the
// sinks it plays into.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <linphone++/linphone.hh>

#include "sip/SipAudioDeviceManager.h"
#include "sip/SipAudioTestSupport.h"
#include "sip/SipStack.h"
#include "support/BaresipFixture.h"
#include "support/ChildProcess.h"
#include "support/ToneDetector.h"
#include "support/WavFile.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;
using CallPtr = std::shared_ptr<linphone::Call>;

constexpr double kOurVoiceHz = 1000.0;
// -12 dBFS: twice as loud stays clear of full scale, a quarter of it well
// above what the media library takes for silence.
constexpr double kVoiceAmplitude = 0.25;
// A level change reaches the sinks after the audio already buffered on the
// way; what the sinks played before that is not listened to.
constexpr auto kSettle = 2500ms;
constexpr auto kListen = 2500ms;

// A voice: a microphone of the sound server that hears a tone played into it.
class Voice {
public:
    Voice(const std::string& name, const std::string& description, double hz, const std::string& folder)
    {
        module_ = TestSupport::pulse().addFedSource(name, description);
        const std::string file = folder + "/" + name + ".wav";
        TestSupport::WavFile::makeTone(file, 16000, hz, 120.0, kVoiceAmplitude);
        player_ = TestSupport::pulse().play(name + "_feed", file);
    }
    ~Voice()
    {
        player_.reset();
        TestSupport::pulse().removeDevice(module_);
    }

private:
    int module_ = -1;
    std::unique_ptr<TestSupport::ChildProcess> player_;
};

// A far end that speaks with its own voice into the call and plays what it
// receives into a sink of its own.
struct FarEnd {
    FarEnd(const std::string& user, double hz, const std::string& folder)
        : hz(hz), sink(user + "_speaker"), voice(user + "_mic", user + " Microphone", hz, folder)
    {
        sinkModule = TestSupport::pulse().addSink(sink, user + " Speaker");
        TestSupport::BaresipFixture::Options options;
        options.user = user;
        options.sound = TestSupport::BaresipFixture::Options::Sound::PulseAudio;
        options.pulseServer = TestSupport::pulse().server();
        options.pulseSink = sink;
        options.pulseSource = user + "_mic";
        agent = std::make_unique<TestSupport::BaresipFixture>(options);
    }
    ~FarEnd()
    {
        agent.reset();
        TestSupport::pulse().removeDevice(sinkModule);
    }

    double hz;
    std::string sink;
    Voice voice;
    int sinkModule = -1;
    std::unique_ptr<TestSupport::BaresipFixture> agent;
};

class SipAudioLevelsTest : public TestSupport::SipAudioTest {
protected:
    void SetUp() override
    {
        SipAudioTest::SetUp();
        ourVoice_ = std::make_unique<Voice>("level_mic", "Level Microphone", kOurVoiceHz, dir_.path());
        SipAudioDeviceManager& manager = SipAudioDeviceManager::getInstance();
        manager.refreshDevices(false);
        manager.setCaptureDevice("Level Microphone");
        manager.setPlaybackDevice("Headset Speaker");
    }

    void TearDown() override
    {
        for (CallPtr& call : calls_) {
            stack.runOnCore([&](const auto&) { call.reset(); });
        }
        SipAudioTest::TearDown();  // hangs up every call
        farEnds_.clear();
        ourVoice_.reset();
    }

    FarEnd& addFarEnd(const std::string& user, double hz)
    {
        farEnds_.push_back(std::make_unique<FarEnd>(user, hz, dir_.path()));
        return *farEnds_.back();
    }

    // Calls the far end and waits until the media flows.
    void call(const FarEnd& farEnd)
    {
        const CallPtr call = stack.runOnCore([&](const std::shared_ptr<linphone::Core>& core) {
            return core->inviteAddressWithParams(core->interpretUrl(farEnd.agent->contactUri()),
                                                 core->createCallParams(nullptr));
        });
        ASSERT_TRUE(call);
        calls_.push_back(call);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (stack.runOnCore([&](const auto&) { return call->getState(); }) !=
               linphone::Call::State::StreamsRunning) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the call did not connect";
            std::this_thread::sleep_for(20ms);
        }
    }

    // Runs `change` on the first call and waits until it reaches `state`.
    void waitForState(linphone::Call::State state, const std::function<void(const CallPtr&)>& change)
    {
        stack.runOnCore([&](const auto&) { change(calls_[0]); });
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (stack.runOnCore([&](const auto&) { return calls_[0]->getState(); }) != state) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the call did not reach the state";
            std::this_thread::sleep_for(20ms);
        }
    }

    // The usual amplitude of `hz` in what `sink` plays from now on.
    static double heard(const std::string& sink, double hz)
    {
        return TestSupport::ToneDetector(8000).typicalAmplitude(TestSupport::pulse().captureSink(sink, kListen), hz);
    }

    // What we hear of each far end and what each far end hears of us.
    struct Heard {
        std::vector<double> ofFarEnds;
        std::vector<double> ofUs;
    };

    Heard listen()
    {
        std::this_thread::sleep_for(kSettle);
        Heard result;
        for (const auto& farEnd : farEnds_) {
            result.ofFarEnds.push_back(heard("headset_speaker", farEnd->hz));
            result.ofUs.push_back(heard(farEnd->sink, kOurVoiceHz));
        }
        return result;
    }

    // Each measurement of `now` is `factor` times that of `before`, within 20%.
    static void expectScaled(const Heard& before, const Heard& now, double factor, const char* what)
    {
        for (std::size_t i = 0; i < before.ofFarEnds.size(); ++i) {
            ASSERT_GT(before.ofFarEnds[i], 1000.0) << what << ": far end " << i << " unheard";
            ASSERT_GT(before.ofUs[i], 1000.0) << what << ": far end " << i << " hears nothing";
            EXPECT_NEAR(now.ofFarEnds[i] / before.ofFarEnds[i], factor, factor * 0.2)
                << what << ": playback of far end " << i;
            EXPECT_NEAR(now.ofUs[i] / before.ofUs[i], factor, factor * 0.2) << what << ": capture to far end " << i;
        }
    }

    void setLevels(float level)
    {
        stack.setPlaybackLevel(level);
        stack.setCaptureLevel(level);
    }

    SipStack& stack = SipStack::getInstance();
    std::unique_ptr<Voice> ourVoice_;
    std::vector<std::unique_ptr<FarEnd>> farEnds_;
    std::vector<CallPtr> calls_;
};

TEST_F(SipAudioLevelsTest, LevelsScaleTheAmplitudeByTheirFactor)
{
    call(addFarEnd("alice", 697.0));
    const Heard unity = listen();
    setLevels(0.25f);
    expectScaled(unity, listen(), 0.25, "level 0.25");
    setLevels(2.0f);
    expectScaled(unity, listen(), 2.0, "level 2.0");
    setLevels(1.0f);
    expectScaled(unity, listen(), 1.0, "level 1.0 again");
}

TEST_F(SipAudioLevelsTest, LevelsReachEveryCall)
{
    call(addFarEnd("alice", 697.0));
    call(addFarEnd("bob", 1477.0));
    const Heard unity = listen();
    setLevels(0.25f);
    expectScaled(unity, listen(), 0.25, "both calls at 0.25");
}

TEST_F(SipAudioLevelsTest, ACallThatStartsLaterTakesTheLevels)
{
    call(addFarEnd("alice", 697.0));
    const Heard unity = listen();
    setLevels(0.5f);
    // Hold and resume: the call's streams start anew.
    waitForState(linphone::Call::State::Paused, [](const CallPtr& call) { call->pause(); });
    waitForState(linphone::Call::State::StreamsRunning, [](const CallPtr& call) { call->resume(); });
    expectScaled(unity, listen(), 0.5, "after hold and resume");
}

TEST_F(SipAudioLevelsTest, ACaptureLevelSetWhileMutedTakesEffectAtTheUnmute)
{
    call(addFarEnd("alice", 697.0));
    const Heard unity = listen();
    stack.muteMicrophone(true);
    stack.setCaptureLevel(0.5f);
    const Heard muted = listen();
    EXPECT_LT(muted.ofUs[0], unity.ofUs[0] * 0.02) << "the muted microphone is heard";
    EXPECT_NEAR(muted.ofFarEnds[0] / unity.ofFarEnds[0], 1.0, 0.2) << "the mute changed the playback";
    stack.muteMicrophone(false);
    EXPECT_NEAR(listen().ofUs[0] / unity.ofUs[0], 0.5, 0.1) << "after the unmute";
}

TEST_F(SipAudioLevelsTest, ARestartedStackStartsAtLevelOneAndKeepsTheStoredLevels)
{
    setLevels(0.25f);
    stack.stop();
    stack.start(false, "ovra-test", false, false);
    stack.runOnCore([](const std::shared_ptr<linphone::Core>& core) { core->enableEchoCancellation(false); });
    EXPECT_EQ(stack.getPlaybackLevel(), 0.25f);
    EXPECT_EQ(stack.getCaptureLevel(), 0.25f);
    SipAudioDeviceManager& manager = SipAudioDeviceManager::getInstance();
    manager.setCaptureDevice("Level Microphone");
    manager.setPlaybackDevice("Headset Speaker");

    call(addFarEnd("alice", 697.0));
    const Heard restarted = listen();
    setLevels(1.0f);
    expectScaled(restarted, listen(), 1.0, "the stored levels were applied after the restart");
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
