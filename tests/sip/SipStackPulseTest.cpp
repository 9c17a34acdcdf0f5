// The SIP stack on a real PulseAudio server: its sound devices appear, and
// the sound-card discovery chatter of the SIP log stays out of the engine log.
#include "sip/SipStack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <linphone++/linphone.hh>

#include "support/CapturingAppender.h"
#include "support/PulseAudioFixture.h"
#include "support/TempDir.h"

namespace Tarvent::VirtualChannel {
namespace {

using CorePtr = SipCoreThread::CorePtr;

// The server must run before the process creates its first Core.
class PulseEnvironment : public ::testing::Environment {
public:
    void SetUp() override { pulse = std::make_unique<TestSupport::PulseAudioFixture>(); }
    void TearDown() override { pulse.reset(); }

    static std::unique_ptr<TestSupport::PulseAudioFixture> pulse;
};

std::unique_ptr<TestSupport::PulseAudioFixture> PulseEnvironment::pulse;

[[maybe_unused]] const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new PulseEnvironment);

TEST(SipStackPulseTest, SeesTheServersDevicesAndKeepsDiscoveryChatterOut)
{
    TestSupport::TempDir dir("ovra-sipstack");
    TestSupport::LogCapture capture;
    SipStack& stack = SipStack::getInstance();
    stack.setWorkingDirectory(dir.path());
    stack.start(false, "Engine", false, true);

    const std::vector<std::string> devices = stack.runOnCore([](const CorePtr& core) {
        core->reloadSoundDevices();
        std::vector<std::string> names;
        for (const auto& device : core->getExtendedAudioDevices()) {
            names.push_back(device->getDeviceName());
        }
        return names;
    });
    stack.stop();

    EXPECT_NE(std::find(devices.begin(), devices.end(), "Headset Speaker"), devices.end());
    EXPECT_NE(std::find(devices.begin(), devices.end(), "Headset Microphone"), devices.end());
    const std::vector<std::string> lines = capture.messages();
    if (std::getenv("OVRA_DUMP_SIP_LOG") != nullptr) {
        for (const auto& line : lines) {
            std::cout << line << "\n";
        }
    }
    EXPECT_TRUE(capture.contains("PJSIP: "));
    EXPECT_FALSE(capture.contains("added with capabilities"));
    EXPECT_FALSE(capture.contains("PulseAudio context state"));
    EXPECT_FALSE(capture.contains("Registering all soundcard handlers"));
    EXPECT_FALSE(capture.contains("type is unknown"));
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
