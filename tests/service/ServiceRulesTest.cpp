// The services' id rules and failure texts, with the SIP stack stopped.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "service/AccountService.h"
#include "service/AudioDeviceManagerService.h"
#include "service/AudioPlayerService.h"
#include "service/AudioRecorderService.h"
#include "service/CallService.h"
#include "service/ServiceEventRecorder.h"
#include "service/ServiceTestHelpers.h"
#include "service/SipStackFacade.h"
#include "sip/SipAudioDeviceManager.h"
#include "sip/SipCall.h"
#include "sip/SoundIoManager.h"
#include "support/TempDir.h"

namespace Tarvent::VirtualChannel::TestSupport {
namespace {

using namespace std::chrono_literals;

class ServiceRulesTest : public ::testing::Test {
protected:
    ServiceEventRecorder client_;
    CallService calls_{&client_, 20ms};
    AccountService accounts_{&client_, &calls_};

    void SetUp() override { calls_.setAccountService(&accounts_); }
    void TearDown() override { calls_.setAccountService(nullptr); }

    std::shared_ptr<SipCall> newCall() { return std::make_shared<SipCall>(&calls_, nullptr, -1, ""); }
};

TEST_F(ServiceRulesTest, UnknownAccountIdsFailWithTheirId)
{
    const std::string invalid = "Invalid account ID: accountId=4";
    EXPECT_EQ(errorOf([&] { accounts_.getAccount(4); }), invalid);
    EXPECT_EQ(errorOf([&] { accounts_.findCallId(4, 0); }), invalid);
    EXPECT_EQ(errorOf([&] { accounts_.getAccount(-1); }), "Invalid account ID: accountId=-1");
    EXPECT_EQ(accounts_.getAccountObjectId(nullptr), -1);
}

TEST_F(ServiceRulesTest, RequestsThatNeedTheStackFailWhileItIsStopped)
{
    ASSERT_FALSE(SipStackFacade().isStarted());
    const std::string stopped = "SIP stack is not running";
    EXPECT_EQ(errorOf([&] { accounts_.createAccount(AccountData{"alice", "127.0.0.1", "", "pw", "udp"}, nullptr,
                                                    nullptr); }),
              stopped);
    AudioPlayerService players(&calls_, "/nonexistent");
    EXPECT_EQ(errorOf([&] { players.createPlayer("tone.wav", -1, false, false); }), stopped);
    AudioRecorderService recorders(&calls_, "/nonexistent");
    EXPECT_EQ(errorOf([&] { recorders.create(); }), stopped);
    AudioDeviceManagerService devices(&client_, nullptr);
    EXPECT_EQ(errorOf([&] { devices.create(); }), stopped);

    // An id that names nothing is what the softphone hears about, stack or
    // not; only what would use the stack learns that it is down.
    const std::string noAccount = "Invalid account ID: accountId=4";
    EXPECT_EQ(errorOf([&] { accounts_.deleteAccount(4); }), noAccount);
    EXPECT_EQ(errorOf([&] { accounts_.setRegistration(4, true); }), noAccount);
    EXPECT_EQ(errorOf([&] { accounts_.updatePassword(4, "pw"); }), noAccount);
    EXPECT_EQ(errorOf([&] { accounts_.makeCall(4, "100"); }), noAccount);
    EXPECT_EQ(errorOf([&] { accounts_.startConference({4}); }), noAccount);
    EXPECT_EQ(errorOf([&] { accounts_.startConference({}); }), stopped);
    EXPECT_EQ(errorOf([&] { calls_.dial(9); }), "Invalid call ID: callId=9");

    // A known call, but no stack to act on it.
    const int callId = calls_.addCall(newCall());
    EXPECT_EQ(errorOf([&] { calls_.dial(callId); }), stopped);
    EXPECT_EQ(errorOf([&] { calls_.hangup(callId); }), stopped);
    calls_.clear();
}

TEST_F(ServiceRulesTest, CallIdsGrowAndAreNeverReused)
{
    const auto first = newCall();
    EXPECT_EQ(calls_.addCall(first), 1);
    EXPECT_EQ(calls_.addCall(newCall()), 2);
    EXPECT_EQ(calls_.getCallObjectId(first), 1);
    EXPECT_EQ(calls_.getCall(1), first);
    EXPECT_EQ(calls_.getCallCount(), 2);
    calls_.clear();
    calls_.clear();  // a second teardown finds nothing to do
    EXPECT_EQ(calls_.getCallCount(), 0);
    EXPECT_EQ(calls_.getCallObjectId(first), -1);
    EXPECT_EQ(calls_.addCall(first), 3);
    calls_.clear();
}

TEST_F(ServiceRulesTest, UnknownCallIdsFailWithTheirId)
{
    // The operations that act on a call are covered with a running stack.
    const std::string invalid = "Invalid call ID: callId=9";
    EXPECT_EQ(errorOf([&] { calls_.getCall(9); }), invalid);
    EXPECT_EQ(errorOf([&] { calls_.getCallStatistics(9); }), invalid);
}

TEST_F(ServiceRulesTest, EventsOfCallsWithoutAccountReachNoClient)
{
    const auto call = newCall();
    calls_.addCall(call);
    EXPECT_EQ(errorOf([&] { calls_.onCallConfirmed(call); }),
              "Failed to handle call event because call does not belong to an account: pjsipCallId=-1");
    EXPECT_EQ(errorOf([&] { calls_.getCallStatistics(1); }),
              "Failed to get call statistics because call does not belong to an account: pjsipCallId=-1");
    EXPECT_EQ(client_.count("confirmed"), 0);
    calls_.clear();
}

TEST_F(ServiceRulesTest, TheSweepDeletesOnlyFinishedCalls)
{
    // A new call is due for deletion a few seconds after it was made unless
    // something (a dial, an answer) keeps it.
    const auto kept = newCall();
    kept->clearDeletionMark();
    const int keptId = calls_.addCall(kept);
    const int finishedId = calls_.addCall(newCall());
    calls_.start();
    calls_.start();  // already running: nothing changes
    EXPECT_TRUE(waitUntil([&] { return calls_.getCallCount() == 1; }, 20s));
    EXPECT_EQ(errorOf([&] { calls_.getCall(finishedId); }),
              "Invalid call ID: callId=" + std::to_string(finishedId));
    EXPECT_EQ(calls_.getCall(keptId), kept);
    calls_.clear();
    EXPECT_EQ(calls_.getCallCount(), 0);
    // Cleared: no sweep runs any more, and a restart works.
    calls_.start();
    calls_.clear();
}

TEST_F(ServiceRulesTest, TheSweepSleepsWithoutCallsAndWakesForTheNextOne)
{
    calls_.start();  // no call: the first sweep finds nothing and the sweep sleeps
    const int callId = calls_.addCall(newCall());
    EXPECT_TRUE(waitUntil([&] { return calls_.getCallCount() == 0; }, 20s));
    EXPECT_EQ(errorOf([&] { calls_.getCall(callId); }), "Invalid call ID: callId=" + std::to_string(callId));
    calls_.clear();
}

TEST(AudioPlayerServiceRules, FileNamesMustStayInsideTheSoundsFolder)
{
    AudioPlayerService players(nullptr, "/tmp");
    for (const char* name : {"", "..", "../x.wav", "a/b.wav", "a\\b.wav", "/etc/passwd", "x\r\n.wav"}) {
        EXPECT_EQ(errorOf([&] { players.createPlayer(name, -1, false, false); }),
                  std::string("Invalid sound file name: fileName=\"") + name + "\"")
            << name;
    }
    EXPECT_NE(errorOf([&] { players.createPlayer(nullptr, -1, false, false); }), "");
}

TEST(AudioPlayerServiceRules, UnknownPlayerIdsFailAndTeardownRepeats)
{
    AudioPlayerService players(nullptr, "/tmp");
    EXPECT_EQ(errorOf([&] { players.play(3); }), "Invalid audio player ID: audioPlayerId=3");
    EXPECT_EQ(errorOf([&] { players.stop(3); }), "Invalid audio player ID: audioPlayerId=3");
    EXPECT_EQ(errorOf([&] { players.dispose(3); }), "Invalid audio player ID: audioPlayerId=3");
    players.disposeAll();
    players.disposeAll();
}

TEST(AudioPlayerServiceRules, SoundsFolderIsBesideTheExecutable)
{
    const std::string folder = AudioPlayerService::soundsDirectory();
    ASSERT_GE(folder.size(), 7u);
    EXPECT_EQ(folder.substr(folder.size() - 7), "/sounds");
    EXPECT_EQ(AudioPlayerService(nullptr).soundsFolder(), folder);
}

TEST_F(ServiceRulesTest, RecorderChecksTheCallBeforeTheRecorder)
{
    AudioRecorderService recorders(&calls_, "/tmp");
    EXPECT_EQ(errorOf([&] { recorders.start(7, -1); }), "Invalid call ID for audio recorder: -1");
    EXPECT_EQ(errorOf([&] { recorders.start(7, 5); }), "Invalid call ID: callId=5");
    EXPECT_EQ(errorOf([&] { recorders.stop(7); }), "Invalid audio recorder ID: audioRecorderId=7");
    EXPECT_EQ(errorOf([&] { recorders.dispose(7); }), "Invalid audio recorder ID: audioRecorderId=7");
    recorders.disposeAll();
    recorders.disposeAll();
}

SipAudioDeviceList deviceList(const std::vector<std::string>& names, const std::string& input,
                              const std::string& output)
{
    SipAudioDeviceList list;
    for (const std::string& name : names) {
        SipAudioDevice device;
        device.id = name;
        device.name = name;
        device.isInput = name.find("mic") != std::string::npos;
        device.isOutput = !device.isInput;
        list.devices.push_back(device);
    }
    list.defaultInputId = input;
    list.defaultOutputId = output;
    list.systemDefaultInputId = SipAudioDeviceManager::kDefaultCaptureId;
    list.systemDefaultOutputId = SipAudioDeviceManager::kDefaultPlaybackId;
    return list;
}

int idOf(const AudioDeviceSnapshot& snapshot, const std::string& name)
{
    for (const AudioDeviceRecord& record : snapshot.records) {
        if (record.name == name) {
            return record.objectId;
        }
    }
    return -1;
}

TEST(AudioDeviceManagerServiceRules, DeviceIdsStayTiedToNames)
{
    ServiceEventRecorder client;
    AudioDeviceManagerService devices(&client, nullptr);
    const std::string capture = SipAudioDeviceManager::kDefaultCaptureId;
    const std::string playback = SipAudioDeviceManager::kDefaultPlaybackId;

    // The entries in use come first, then the list in its order.
    devices.onAudioDevicesChanged(deviceList({capture, playback, "b-speaker", "a-mic"}, capture, playback));
    auto event = client.take("devices", 0ms);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->accountId, 1);
    const AudioDeviceSnapshot& first = event->snapshot;
    EXPECT_EQ(first.defaultInputObjectId, 1);
    EXPECT_EQ(first.defaultOutputObjectId, 2);
    EXPECT_EQ(first.systemDefaultInputObjectId, 1);
    EXPECT_EQ(first.systemDefaultOutputObjectId, 2);
    ASSERT_EQ(first.records.size(), 4u);
    EXPECT_EQ(idOf(first, "b-speaker"), 3);
    EXPECT_EQ(idOf(first, "a-mic"), 4);
    for (std::size_t i = 0; i < first.records.size(); ++i) {
        EXPECT_EQ(first.records[i].objectId, static_cast<int>(i + 1));
        EXPECT_TRUE(first.records[i].isCallDevice);
    }
    EXPECT_TRUE(first.records[3].isInputDevice);
    EXPECT_FALSE(first.records[3].isOutputDevice);

    // A device that goes and comes back keeps its id; a new one gets the next;
    // an unknown device in use is -1.
    devices.onAudioDevicesChanged(deviceList({capture, playback, "a-mic"}, "", playback));
    event = client.take("devices", 0ms);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->snapshot.defaultInputObjectId, -1);
    EXPECT_EQ(idOf(event->snapshot, "b-speaker"), -1);
    devices.stopDeviceRefresh();
    devices.reset();
    devices.stopDeviceRefresh();
    devices.reset();
    devices.onAudioDevicesChanged(deviceList({capture, playback, "c-speaker", "b-speaker", "a-mic"}, capture, "c-speaker"));
    event = client.take("devices", 0ms);
    ASSERT_TRUE(event);
    EXPECT_EQ(idOf(event->snapshot, "b-speaker"), 3);
    EXPECT_EQ(idOf(event->snapshot, "c-speaker"), 5);
    EXPECT_EQ(event->snapshot.defaultOutputObjectId, 5);
    EXPECT_EQ(event->snapshot.records.back().name, "c-speaker");
    EXPECT_EQ(devices.getSnapshot().records.size(), 5u);

    EXPECT_EQ(errorOf([&] { devices.setDefaultDevices(-1, 2); }), "Could not find name for audio device ID -1");
    EXPECT_EQ(errorOf([&] { devices.setDefaultDevices(1, 42); }), "Could not find name for audio device ID 42");
    EXPECT_EQ(errorOf([&] { devices.setExtraPlaybackDevice(42); }), "Could not find name for audio device ID 42");
}

TEST(AudioDeviceManagerServiceRules, TheVersionReachesTheEngineDeviceObjects)
{
    AudioDeviceManagerService devices(nullptr, nullptr);
    devices.setVersion(1);
    EXPECT_FALSE(devices.isAtLeast(2));
    EXPECT_FALSE(SipAudioDeviceManager::getInstance().isAtLeast(2));
    EXPECT_FALSE(SoundIoManager::getInstance().isAtLeast(2));
    devices.setVersion(2);
    EXPECT_TRUE(devices.isAtLeast(2));
    EXPECT_TRUE(SipAudioDeviceManager::getInstance().isAtLeast(2));
    EXPECT_TRUE(SoundIoManager::getInstance().isAtLeast(2));
}

}  // namespace
}  // namespace Tarvent::VirtualChannel::TestSupport
