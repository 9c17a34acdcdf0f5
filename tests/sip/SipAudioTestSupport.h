#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sip/ISipAudioDeviceManagerCallback.h"
#include "sip/SipAudioDeviceList.h"
#include "support/PulseAudioFixture.h"
#include "support/TempDir.h"

namespace Tarvent::VirtualChannel::TestSupport {

// The process's PulseAudio server: started by a global test environment
// before the first SIP stack of the process exists.
PulseAudioFixture& pulse();

// Keeps the device lists reported to it. Any thread.
class DeviceListRecorder : public ISipAudioDeviceManagerCallback {
public:
    void onAudioDevicesChanged(const SipAudioDeviceList& devices) override;
    // Waits until a reported list satisfies `predicate`; false on time-out.
    bool waitFor(const std::function<bool(const SipAudioDeviceList&)>& predicate, std::chrono::milliseconds timeout);
    std::size_t count();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<SipAudioDeviceList> lists_;
};

// A running SIP stack (echo cancellation off, so levels stay as played) and
// a device manager initialised with a DeviceListRecorder and a fresh list.
class SipAudioTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    static bool hasDevice(const SipAudioDeviceList& list, const std::string& id);
    // The description of the device linphone uses for calls (output or input).
    static std::string linphoneDefaultDevice(bool capture);

    TempDir dir_{"ovra-sipaudio"};
    DeviceListRecorder devicesReported_;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
