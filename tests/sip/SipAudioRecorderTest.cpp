#include "sip/SipAudioRecorder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <linphone++/linphone.hh>

#include "sip/CallRecordFiles.h"
#include "sip/SipAudioDeviceManager.h"
#include "sip/SipAudioTestSupport.h"
#include "sip/SipError.h"
#include "sip/SipStack.h"
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
    CallPtr callFarEnd(bool withRecordFile = true)
    {
        CallPtr call = stack.runOnCore([&](const std::shared_ptr<linphone::Core>& core) {
            const std::shared_ptr<linphone::CallParams> params = core->createCallParams(nullptr);
            if (withRecordFile) {
                CallRecordFiles::assign(*params);
            }
            return core->inviteAddressWithParams(core->interpretUrl(farEnd_->contactUri()), params);
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
    ASSERT_EQ(first.sampleRate, 16000);
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
