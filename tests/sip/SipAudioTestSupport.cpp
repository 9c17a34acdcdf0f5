#include "sip/SipAudioTestSupport.h"

#include <algorithm>

#include <linphone++/linphone.hh>

#include "sip/SipAudioDeviceManager.h"
#include "sip/SipStack.h"

namespace Tarvent::VirtualChannel::TestSupport {

namespace {

std::unique_ptr<PulseAudioFixture>& pulseInstance()
{
    static std::unique_ptr<PulseAudioFixture> instance;
    return instance;
}

class PulseAudioEnvironment : public ::testing::Environment {
public:
    void SetUp() override { pulseInstance() = std::make_unique<PulseAudioFixture>(); }
    void TearDown() override { pulseInstance().reset(); }
};

// GoogleTest owns the environment.
::testing::Environment* const pulseEnvironment = ::testing::AddGlobalTestEnvironment(new PulseAudioEnvironment);

}  // namespace

PulseAudioFixture& pulse()
{
    return *pulseInstance();
}

void DeviceListRecorder::onAudioDevicesChanged(const SipAudioDeviceList& devices)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        lists_.push_back(devices);
    }
    changed_.notify_all();
}

bool DeviceListRecorder::waitFor(const std::function<bool(const SipAudioDeviceList&)>& predicate,
                                 std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return std::any_of(lists_.begin(), lists_.end(), predicate); });
}

std::size_t DeviceListRecorder::count()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return lists_.size();
}

void SipAudioTest::SetUp()
{
    ASSERT_NE(pulseEnvironment, nullptr);
    SipStack& stack = SipStack::getInstance();
    stack.setWorkingDirectory(dir_.path());
    stack.start(false, "ovra-test", false, false);
    stack.runOnCore([](const std::shared_ptr<linphone::Core>& core) { core->enableEchoCancellation(false); });
    SipAudioDeviceManager& manager = SipAudioDeviceManager::getInstance();
    manager.setVersion(2);
    manager.initialize(&devicesReported_);
}

void SipAudioTest::TearDown()
{
    SipAudioDeviceManager& manager = SipAudioDeviceManager::getInstance();
    manager.stopRefreshTimer();
    manager.clearExtraPlaybackDevice();
    manager.initialize(nullptr);
    SipStack::getInstance().stop();
}

bool SipAudioTest::hasDevice(const SipAudioDeviceList& list, const std::string& id)
{
    return std::any_of(list.devices.begin(), list.devices.end(),
                       [&](const SipAudioDevice& device) { return device.id == id; });
}

std::string SipAudioTest::linphoneDefaultDevice(bool capture)
{
    return SipStack::getInstance().runOnCore([&](const std::shared_ptr<linphone::Core>& core) {
        const auto device = capture ? core->getDefaultInputAudioDevice() : core->getDefaultOutputAudioDevice();
        return device ? device->getDeviceName() : std::string();
    });
}

}  // namespace Tarvent::VirtualChannel::TestSupport
