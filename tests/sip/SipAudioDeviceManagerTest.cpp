#include "sip/SipAudioDeviceManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include <linphone++/linphone.hh>

#include "sip/SipAudioPlayer.h"
#include "sip/SipAudioRecorder.h"
#include "sip/SipAudioTestSupport.h"
#include "sip/SipError.h"
#include "sip/SipStack.h"
#include "sip/SoundIoManager.h"
#include "support/CapturingAppender.h"
#include "support/WavFile.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;
using TestSupport::pulse;

// Long enough for a refresh tick (3000 ms) and a slow machine.
constexpr auto kReportTimeout = 15s;

const SipAudioDevice* findDevice(const SipAudioDeviceList& list, const std::string& id)
{
    const auto found = std::find_if(list.devices.begin(), list.devices.end(),
                                    [&](const SipAudioDevice& device) { return device.id == id; });
    return found == list.devices.end() ? nullptr : &*found;
}

// Position of each sound server device in the stack's own enumeration.
int enumerationIndex(const std::string& description)
{
    return SipStack::getInstance().runOnCore([&](const std::shared_ptr<linphone::Core>& core) {
        int index = 0;
        for (const auto& device : core->getExtendedAudioDevices()) {
            if (device->getDeviceName() == description && device->getDriverName() == "PulseAudio") {
                return index;
            }
            ++index;
        }
        return -100;
    });
}

class SipAudioDeviceManagerTest : public TestSupport::SipAudioTest {
protected:
    SipAudioDeviceManager& manager = SipAudioDeviceManager::getInstance();
};

TEST_F(SipAudioDeviceManagerTest, ListsTheSoundServerDevicesByNameWithTheDefaults)
{
    manager.refreshDevices(false);
    const SipAudioDeviceList list = manager.getDevices();

    std::vector<std::string> ids;
    for (const SipAudioDevice& device : list.devices) {
        ids.push_back(device.id);
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"Desk Speaker", "Headset Microphone", "Headset Speaker",
                                             "default_capture_device", "default_playback_device"}));
    const SipAudioDevice* desk = findDevice(list, "Desk Speaker");
    ASSERT_NE(desk, nullptr);
    EXPECT_EQ(desk->name, "Desk Speaker");
    EXPECT_FALSE(desk->isInput);
    EXPECT_TRUE(desk->isOutput);
    EXPECT_EQ(desk->index, enumerationIndex("Desk Speaker"));
    const SipAudioDevice* microphone = findDevice(list, "Headset Microphone");
    ASSERT_NE(microphone, nullptr);
    EXPECT_TRUE(microphone->isInput);
    EXPECT_FALSE(microphone->isOutput);
    const SipAudioDevice* defaultCapture = findDevice(list, "default_capture_device");
    ASSERT_NE(defaultCapture, nullptr);
    EXPECT_EQ(defaultCapture->name, "Default Capture Device");
    EXPECT_EQ(defaultCapture->index, -1);
    EXPECT_EQ(findDevice(list, "default_playback_device")->index, -2);

    EXPECT_EQ(list.defaultInputId, "default_capture_device");
    EXPECT_EQ(list.defaultOutputId, "default_playback_device");
    EXPECT_EQ(list.systemDefaultInputId, "default_capture_device");
    EXPECT_EQ(list.systemDefaultOutputId, "default_playback_device");

    // A changed list is logged, the filtered and the whole one.
    TestSupport::LogCapture capture;
    const int added = pulse().addSink("log_speaker", "Log Speaker");
    manager.refreshDevices(false);
    pulse().removeDevice(added);
    EXPECT_TRUE(capture.contains("PJSIP Devices changed: "));
    EXPECT_TRUE(capture.contains("(Log Speaker,0,1,"));
    EXPECT_TRUE(capture.contains("All PJSIP Devices changed: "));
    EXPECT_TRUE(capture.contains("(default,1,1,"));  // ALSA's, in the whole list only
}

TEST_F(SipAudioDeviceManagerTest, SelectsDevicesByNamePrefixAndRemembersThem)
{
    manager.setPlaybackDevice("Desk");
    manager.setCaptureDevice("Headset Mic");
    EXPECT_EQ(linphoneDefaultDevice(false), "Desk Speaker");
    EXPECT_EQ(linphoneDefaultDevice(true), "Headset Microphone");
    SipAudioDeviceList list = manager.getDevices();
    EXPECT_EQ(list.defaultOutputId, "Desk Speaker");
    EXPECT_EQ(list.defaultInputId, "Headset Microphone");

    // The selection was recorded: the next refresh finds nothing new.
    const std::size_t before = devicesReported_.count();
    manager.refreshDevices(true);
    EXPECT_EQ(devicesReported_.count(), before);

    manager.setPlaybackDevice("default_playback_device");
    EXPECT_EQ(manager.getDevices().defaultOutputId, "default_playback_device");
    EXPECT_EQ(linphoneDefaultDevice(false), "Headset Speaker");  // the media layer's default card

    try {
        manager.setPlaybackDevice("Nowhere");
        FAIL() << "selected a device that does not exist";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Could not find audio device with name \"Nowhere\"");
    }
    EXPECT_THROW(manager.setExtraPlaybackDevice("Nowhere"), std::runtime_error);
    EXPECT_EQ(manager.getDevices().defaultOutputId, "default_playback_device");
}

TEST_F(SipAudioDeviceManagerTest, ASelectionTakesOnlyDevicesOfItsOwnDirection)
{
    manager.refreshDevices(false);
    const auto refused = [&](const std::function<void()>& select, const std::string& name) {
        try {
            select();
            ADD_FAILURE() << "selected \"" << name << "\" for the wrong direction";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(error.what(), "Could not find audio device with name \"" + name + "\"");
        }
    };
    // A speaker is no microphone, and a microphone no speaker.
    refused([&] { manager.setCaptureDevice("Desk Speaker"); }, "Desk Speaker");
    refused([&] { manager.setPlaybackDevice("Headset Microphone"); }, "Headset Microphone");
    refused([&] { manager.setExtraPlaybackDevice("Headset Microphone"); }, "Headset Microphone");
    refused([&] { manager.setCaptureDevice("default_playback_device"); }, "default_playback_device");
    EXPECT_EQ(manager.getDevices().defaultInputId, "default_capture_device");
    EXPECT_EQ(manager.getDevices().defaultOutputId, "default_playback_device");

    // "Headset" begins both the microphone's and the speaker's name (the
    // microphone's sorts first): each direction finds its own.
    manager.setPlaybackDevice("Headset");
    manager.setCaptureDevice("Headset");
    EXPECT_EQ(linphoneDefaultDevice(false), "Headset Speaker");
    EXPECT_EQ(linphoneDefaultDevice(true), "Headset Microphone");
    EXPECT_EQ(manager.getDevices().defaultOutputId, "Headset Speaker");
    EXPECT_EQ(manager.getDevices().defaultInputId, "Headset Microphone");
}

TEST_F(SipAudioDeviceManagerTest, TwoDevicesOfTheSameNameAreNeitherListedNorSelected)
{
    const int first = pulse().addSink("twin_one", "Twin Speaker");
    const int second = pulse().addSink("twin_two", "Twin Speaker");
    manager.refreshDevices(false);
    EXPECT_FALSE(hasDevice(manager.getDevices(), "Twin Speaker"));
    EXPECT_THROW(manager.setPlaybackDevice("Twin Speaker"), std::runtime_error);
    EXPECT_NE(linphoneDefaultDevice(false), "Twin Speaker");

    // Once one of them is gone, the name is unambiguous again.
    pulse().removeDevice(second);
    manager.refreshDevices(false);
    EXPECT_TRUE(hasDevice(manager.getDevices(), "Twin Speaker"));
    manager.setPlaybackDevice("Twin Speaker");
    EXPECT_EQ(linphoneDefaultDevice(false), "Twin Speaker");
    manager.setPlaybackDevice("default_playback_device");
    pulse().removeDevice(first);
}

TEST_F(SipAudioDeviceManagerTest, FollowsDevicesAddedAndRemovedAtRuntime)
{
    manager.setPlaybackDevice("Headset Speaker");
    manager.startRefreshTimer();
    const int usb = pulse().addSink("usb_speaker", "USB Speaker");
    ASSERT_TRUE(devicesReported_.waitFor([](const SipAudioDeviceList& list) { return hasDevice(list, "USB Speaker"); },
                                         kReportTimeout));
    SipAudioDeviceList list = manager.getDevices();
    // Positions moved; every index is the device's place in the new enumeration.
    for (const char* id : {"Desk Speaker", "Headset Speaker", "USB Speaker", "Headset Microphone"}) {
        const SipAudioDevice* device = findDevice(list, id);
        ASSERT_NE(device, nullptr) << id;
        EXPECT_EQ(device->index, enumerationIndex(id)) << id;
    }
    EXPECT_EQ(list.defaultOutputId, "Headset Speaker");
    EXPECT_EQ(linphoneDefaultDevice(false), "Headset Speaker");

    // The selected device goes: the default stands in; it comes back: it is used again.
    manager.setPlaybackDevice("USB Speaker");
    EXPECT_EQ(linphoneDefaultDevice(false), "USB Speaker");
    pulse().removeDevice(usb);
    ASSERT_TRUE(devicesReported_.waitFor(
        [](const SipAudioDeviceList& reported) {
            return !hasDevice(reported, "USB Speaker") && reported.defaultOutputId == "default_playback_device";
        },
        kReportTimeout));
    EXPECT_EQ(linphoneDefaultDevice(false), "Headset Speaker");

    const int usbAgain = pulse().addSink("usb_speaker", "USB Speaker");
    EXPECT_TRUE(devicesReported_.waitFor(
        [](const SipAudioDeviceList& reported) {
            return hasDevice(reported, "USB Speaker") && reported.defaultOutputId == "USB Speaker";
        },
        kReportTimeout));
    EXPECT_EQ(linphoneDefaultDevice(false), "USB Speaker");
    manager.stopRefreshTimer();
    pulse().removeDevice(usbAgain);
}

// What lets a refresh tick skip the costly re-read: the sound server's
// device changes, and nothing else, move the generation on.
TEST_F(SipAudioDeviceManagerTest, TheSoundServerGenerationMovesOnlyWithItsDevices)
{
    SoundIoManager& soundIo = SoundIoManager::getInstance();
    const auto nextGeneration = [&](std::uint64_t after) {
        const auto deadline = std::chrono::steady_clock::now() + kReportTimeout;
        std::optional<std::uint64_t> now = soundIo.deviceGeneration();
        while (now && *now == after && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
            now = soundIo.deviceGeneration();
        }
        return now;
    };
    const std::optional<std::uint64_t> first = soundIo.deviceGeneration();
    ASSERT_TRUE(first);
    EXPECT_EQ(soundIo.deviceGeneration(), first);

    const int added = pulse().addSink("generation_speaker", "Generation Speaker");
    const std::optional<std::uint64_t> withSink = nextGeneration(*first);
    ASSERT_TRUE(withSink);
    EXPECT_GT(*withSink, *first);
    // A stream on a device changes its state, not the list.
    {
        const std::string tone = dir_.file("generation.wav");
        TestSupport::WavFile::makeTone(tone, 8000, 440.0, 0.3);
        const auto player = pulse().play("generation_speaker", tone);
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_EQ(soundIo.deviceGeneration(), withSink);

    pulse().removeDevice(added);
    const std::optional<std::uint64_t> without = nextGeneration(*withSink);
    ASSERT_TRUE(without);
    EXPECT_GT(*without, *withSink);
}

TEST_F(SipAudioDeviceManagerTest, ProtocolOneGetsTheWholeListAtOnce)
{
    manager.startRefreshTimer();
    manager.stopRefreshTimer();  // empties the stored list
    manager.setVersion(1);
    manager.startRefreshTimer();
    manager.startRefreshTimer();  // a second start changes nothing
    // Long before the first period ends.
    EXPECT_TRUE(devicesReported_.waitFor([](const SipAudioDeviceList& list) { return hasDevice(list, "Desk Speaker"); },
                                         2500ms));
    manager.stopRefreshTimer();
    manager.setVersion(2);
}

TEST_F(SipAudioDeviceManagerTest, RefusesDeviceAndMediaOperationsWhileTheStackIsStopped)
{
    const std::string tone = dir_.file("tone.wav");
    TestSupport::WavFile::makeTone(tone, 8000, 1000.0, 0.5);
    SipStack::getInstance().stop();
    TestSupport::LogCapture capture;

    EXPECT_THROW(manager.setPlaybackDevice("Desk Speaker"), SipError);
    EXPECT_THROW(manager.setCaptureDevice("Headset Microphone"), SipError);
    EXPECT_THROW(manager.setExtraPlaybackDevice("Desk Speaker"), SipError);
    EXPECT_THROW(manager.getDevMedia(), SipError);
    manager.refreshDevices(true);
    EXPECT_TRUE(capture.contains("A serious error occured when refreshing audio devices."));
    EXPECT_THROW(SipAudioPlayer(nullptr, tone.c_str(), 1.0f, {SipAudioSink{}}, false), SipError);
    EXPECT_THROW(SipAudioRecorder(dir_.file("record1.wav").c_str()), SipError);
    manager.closeExtraPlaybackDevice();  // teardown after a stop must work

    SipStack::getInstance().start(false, "ovra-test", false, false);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
