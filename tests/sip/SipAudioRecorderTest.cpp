#include "sip/SipAudioRecorder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include <linphone++/linphone.hh>

#include "sip/CallRecordFiles.h"
#include "sip/SipAudioDeviceManager.h"
#include "sip/SipAudioTestSupport.h"
#include "sip/SipError.h"
#include "sip/SipStack.h"
#include "sip/SipWavFile.h"
#include "support/BaresipFixture.h"
#include "support/ToneDetector.h"
#include "support/WavFile.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;
using CallPtr = std::shared_ptr<linphone::Call>;

constexpr double kFarEndHz = 697.0;  // the far end's voice
constexpr double kNearEndHz = 1000.0;  // the engine's microphone (the standard PulseAudio source)

// A running stack and a far end that answers calls with its voice.
class SipAudioCallTest : public TestSupport::SipAudioTest {
protected:
    void SetUp() override
    {
        SipAudioTest::SetUp();
        records_ = dir_.makeDir("records");
        TestSupport::BaresipFixture::Options options;
        options.toneHz = kFarEndHz;
        farEnd_ = std::make_unique<TestSupport::BaresipFixture>(options);
    }

    void TearDown() override
    {
        SipAudioTest::TearDown();  // hangs up every call
        farEnd_.reset();
    }

    // A call to the far end, set up with a record file unless told otherwise,
    // once its media flows.
    CallPtr callFarEnd(bool withRecordFile = true) { return callPeer(*farEnd_, withRecordFile); }

    CallPtr callPeer(const TestSupport::BaresipFixture& peer, bool withRecordFile = true)
    {
        CallPtr call = stack.runOnCore([&](const std::shared_ptr<linphone::Core>& core) {
            const std::shared_ptr<linphone::CallParams> params = core->createCallParams(nullptr);
            if (withRecordFile) {
                CallRecordFiles::assign(*params);
            }
            return core->inviteAddressWithParams(core->interpretUrl(peer.contactUri()), params);
        });
        EXPECT_TRUE(call);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (call && std::chrono::steady_clock::now() < deadline) {
            const auto state = stack.runOnCore([&](const auto&) { return call->getState(); });
            if (state == linphone::Call::State::StreamsRunning) {
                return call;
            }
            std::this_thread::sleep_for(20ms);
        }
        ADD_FAILURE() << "the call did not connect";
        return call;
    }

    // Our hold on a call goes on the core thread, like every linphone object.
    void release(CallPtr& call)
    {
        stack.runOnCore([&](const auto&) { call.reset(); });
    }

    std::string recordFile(int id) const { return records_ + "/record" + std::to_string(id) + ".wav"; }

    static int blocksWith(const TestSupport::WavFile& file, double hz)
    {
        return TestSupport::ToneDetector(file.sampleRate).blocksWithTone(file.samples, hz, 0.2);
    }

    static double secondsOf(const TestSupport::WavFile& file)
    {
        return static_cast<double>(file.samples.size()) / file.sampleRate;
    }

    static double secondsSince(std::chrono::steady_clock::time_point start)
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    SipStack& stack = SipStack::getInstance();
    std::string records_;
    std::unique_ptr<TestSupport::BaresipFixture> farEnd_;
};

using SipAudioRecorderTest = SipAudioCallTest;

TEST_F(SipAudioRecorderTest, RecordsBothSidesOfACallIntoItsOwnFileAndAppendsLaterRecordings)
{
    CallPtr call = callFarEnd();
    SipAudioRecorder recorder(recordFile(1).c_str());
    recorder.start(call);
    recorder.start(call);  // already recording: nothing happens
    EXPECT_TRUE(recorder.isRecording());
    std::this_thread::sleep_for(2s);  // the recording's length
    recorder.stop();
    EXPECT_FALSE(recorder.isRecording());

    const TestSupport::WavFile first = TestSupport::WavFile::read(recordFile(1));
    // The media's rate, whatever the codec (the far end speaks PCMU at 8 kHz).
    ASSERT_EQ(first.sampleRate, SipAudioRecorder::kSampleRate);
    EXPECT_EQ(first.channels, 1);
    // Two seconds were recorded; under a sanitizer on a busy machine the
    // recording starts late, so half a second is the least asked for.
    EXPECT_GE(first.samples.size(), static_cast<std::size_t>(first.sampleRate) / 2);
    const int blocks = static_cast<int>(first.samples.size() * 20 / static_cast<std::size_t>(first.sampleRate));
    EXPECT_GE(blocksWith(first, kFarEndHz), blocks / 2);

    // Our own microphone's audio joins once its capture runs, which can take
    // a while on a slow machine: record on, appending, until it shows.
    for (int round = 0; round < 10 && blocksWith(TestSupport::WavFile::read(recordFile(1)), kNearEndHz) < 10;
         ++round) {
        recorder.start(call);
        std::this_thread::sleep_for(1s);
        recorder.stop();
    }
    const TestSupport::WavFile both = TestSupport::WavFile::read(recordFile(1));
    EXPECT_GE(blocksWith(both, kNearEndHz), 10);  // both directions, mixed
    EXPECT_GE(blocksWith(both, kFarEndHz), blocks / 2);

    recorder.start(call);
    std::this_thread::sleep_for(1s);
    recorder.stop();
    const TestSupport::WavFile longer = TestSupport::WavFile::read(recordFile(1));
    // A second of recording appended (less when the machine is slow to start it).
    EXPECT_GE(longer.samples.size(), both.samples.size() + static_cast<std::size_t>(longer.sampleRate) / 5);
    release(call);
}

TEST_F(SipAudioRecorderTest, TwoRecordersOfOneCallEachGetTheAudioOfTheirOwnTime)
{
    CallPtr call = callFarEnd();
    SipAudioRecorder first(recordFile(1).c_str());
    SipAudioRecorder second(recordFile(2).c_str());
    const auto firstStart = std::chrono::steady_clock::now();
    first.start(call);
    std::this_thread::sleep_for(1500ms);
    const auto secondStart = std::chrono::steady_clock::now();
    second.start(call);
    std::this_thread::sleep_for(1500ms);
    first.stop();
    const double firstTime = secondsSince(firstStart);
    EXPECT_TRUE(second.isRecording());
    std::this_thread::sleep_for(1500ms);
    second.stop();
    const double secondTime = secondsSince(secondStart);

    for (const auto& [id, time] : {std::pair{1, firstTime}, std::pair{2, secondTime}}) {
        const TestSupport::WavFile file = TestSupport::WavFile::read(recordFile(id));
        EXPECT_EQ(file.sampleRate, SipAudioRecorder::kSampleRate) << id;
        // Nothing from before its start or after its stop (a little slack for
        // the audio in flight), and most of its three seconds even when a
        // busy machine starts the recording late.
        EXPECT_LE(secondsOf(file), time + 0.5) << id;
        EXPECT_GE(secondsOf(file), 1.0) << id;
        EXPECT_GE(blocksWith(file, kFarEndHz), static_cast<int>(secondsOf(file) * 20 / 2)) << id;
    }
    release(call);
}

TEST_F(SipAudioRecorderTest, ACallHungUpWhileRecordingEndsTheRecordingWithItsAudioKept)
{
    CallPtr call = callFarEnd();
    SipAudioRecorder recorder(recordFile(1).c_str());
    recorder.start(call);
    std::this_thread::sleep_for(2s);
    farEnd_->hangup();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (recorder.isRecording() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_FALSE(recorder.isRecording());
    recorder.stop();  // nothing left to end; returns once the file is complete
    const TestSupport::WavFile file = TestSupport::WavFile::read(recordFile(1));
    EXPECT_GE(secondsOf(file), 0.5);
    EXPECT_GE(blocksWith(file, kFarEndHz), 10);
    release(call);

    // Free again, the recorder takes the next call, after what it has.
    CallPtr next = callFarEnd();
    recorder.start(next);
    EXPECT_TRUE(recorder.isRecording());
    std::this_thread::sleep_for(1s);
    recorder.stop();
    EXPECT_GT(TestSupport::WavFile::read(recordFile(1)).samples.size(), file.samples.size());
    release(next);
}

TEST_F(SipAudioRecorderTest, AHoldInTheMiddleOfARecordingKeepsWhatCameBefore)
{
    CallPtr call = callFarEnd();
    SipAudioRecorder recorder(recordFile(1).c_str());
    const auto start = std::chrono::steady_clock::now();
    recorder.start(call);
    std::this_thread::sleep_for(1500ms);
    // Held and resumed: the call's media restarts twice under the recording.
    const auto waitForState = [&](linphone::Call::State wanted) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (stack.runOnCore([&](const auto&) { return call->getState(); }) != wanted) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        return true;
    };
    stack.runOnCore([&](const auto&) { call->pause(); });
    ASSERT_TRUE(waitForState(linphone::Call::State::Paused));
    stack.runOnCore([&](const auto&) { call->resume(); });
    ASSERT_TRUE(waitForState(linphone::Call::State::StreamsRunning));
    std::this_thread::sleep_for(1500ms);
    recorder.stop();
    const double wallTime = secondsSince(start);

    const TestSupport::WavFile file = TestSupport::WavFile::read(recordFile(1));
    EXPECT_LE(secondsOf(file), wallTime + 0.5);
    // Both talking parts, three seconds, are there; the held part is silence.
    EXPECT_GE(blocksWith(file, kFarEndHz), 40);
    release(call);
}

TEST_F(SipAudioRecorderTest, ARecorderKeepsItsCallWhileAnotherRecordsASecondCall)
{
    constexpr double kOtherHz = 1477.0;
    TestSupport::BaresipFixture::Options options;
    options.user = "bob";
    options.toneHz = kOtherHz;
    TestSupport::BaresipFixture other(options);
    CallPtr first = callFarEnd();
    CallPtr second = callPeer(other);
    SipAudioRecorder ofFirst(recordFile(1).c_str());
    SipAudioRecorder ofSecond(recordFile(2).c_str());
    ofFirst.start(first);
    ofFirst.start(second);  // recording already: it stays with the first call
    ofSecond.start(second);
    std::this_thread::sleep_for(2500ms);
    ofFirst.stop();
    ofSecond.stop();

    const TestSupport::WavFile firstFile = TestSupport::WavFile::read(recordFile(1));
    const TestSupport::WavFile secondFile = TestSupport::WavFile::read(recordFile(2));
    EXPECT_GE(blocksWith(firstFile, kFarEndHz), 10);
    EXPECT_EQ(blocksWith(firstFile, kOtherHz), 0);
    EXPECT_GE(blocksWith(secondFile, kOtherHz), 10);
    EXPECT_EQ(blocksWith(secondFile, kFarEndHz), 0);
    release(first);
    release(second);
}

TEST_F(SipAudioRecorderTest, DisposingOrStoppingTheStackFinishesTheRecording)
{
    CallPtr call = callFarEnd();
    auto disposed = std::make_unique<SipAudioRecorder>(recordFile(1).c_str());
    auto cutShort = std::make_unique<SipAudioRecorder>(recordFile(2).c_str());
    disposed->start([&call] { return call; });  // asked for on the core thread
    std::this_thread::sleep_for(1500ms);
    disposed.reset();
    cutShort->start(call);
    std::this_thread::sleep_for(1500ms);
    release(call);
    stack.stop();  // hangs up while recording

    EXPECT_FALSE(cutShort->isRecording());
    cutShort->stop();  // nothing left to do
    CallPtr none;
    EXPECT_THROW(cutShort->start(none), SipError);
    for (const int id : {1, 2}) {
        const TestSupport::WavFile file = TestSupport::WavFile::read(recordFile(id));
        // 1.5 s were recorded; under a sanitizer the recording starts late, so ask for less.
        EXPECT_GE(file.samples.size(), static_cast<std::size_t>(file.sampleRate) / 2) << id;
        EXPECT_GT(blocksWith(file, kFarEndHz), 10) << id;
    }
    cutShort.reset();
    stack.start(false, "ovra-test", false, false);
}

TEST_F(SipAudioRecorderTest, RefusesACallWithoutARecordFile)
{
    CallPtr call = callFarEnd(false);
    SipAudioRecorder recorder(recordFile(1).c_str());
    try {
        recorder.start(call);
        ADD_FAILURE() << "recorded a call without a record file";
    } catch (const SipError& error) {
        EXPECT_EQ(error.reason, "The call has no record file");
    }
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_THROW(SipAudioRecorder(dir_.file("no/such/folder/record2.wav").c_str()), SipError);
    release(call);
}

TEST_F(SipAudioCallTest, APlaybackDeviceSelectedDuringACallTakesOverTheCallsAudio)
{
    SipAudioDeviceManager& manager = SipAudioDeviceManager::getInstance();
    manager.setPlaybackDevice("Headset Speaker");
    CallPtr call = callFarEnd();
    const auto farEndOn = [](const std::string& sink) {
        const std::vector<std::int16_t> heard = TestSupport::pulse().captureSink(sink, 3000ms);
        return TestSupport::ToneDetector(8000).blocksWithTone(heard, kFarEndHz, 0.5);
    };
    EXPECT_GE(farEndOn("headset_speaker"), 10);

    manager.setPlaybackDevice("Desk Speaker");  // renegotiated into the running call
    EXPECT_GE(farEndOn("desk_speaker"), 10);
    EXPECT_EQ(farEndOn("headset_speaker"), 0);
    const std::string callDevice = stack.runOnCore([&](const auto&) {
        const auto device = call->getOutputAudioDevice();
        return device ? device->getDeviceName() : std::string();
    });
    EXPECT_EQ(callDevice, "Desk Speaker");
    release(call);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
