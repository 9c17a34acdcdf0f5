#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include <linphone++/linphone.hh>

#include "sip/SipHeaderMap.h"
#include "sip/SipMessageTap.h"
#include "sip/SipStack.h"
#include "support/CapturingAppender.h"
#include "support/SippFixture.h"

namespace Tarvent::VirtualChannel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using CorePtr = SipCoreThread::CorePtr;

struct Transport {
    const char* name;
    const char* sippOption;
};

void PrintTo(const Transport& transport, std::ostream* out)
{
    *out << transport.name;
}

// The tap behind a started stack, fed by SIPp's INVITEs over UDP and TCP.
class SipMessageTapStackTest : public ::testing::TestWithParam<Transport> {
protected:
    void SetUp() override
    {
        folder = fs::temp_directory_path() /
                 ("ovra-taptest-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
        fs::create_directories(folder);
        stack.setWorkingDirectory(folder.string());
    }

    void TearDown() override
    {
        stack.stop();
        fs::remove_all(folder);
    }

    void start(bool sipLogEnabled) { stack.start(false, "TapTest/1.0", false, sipLogEnabled); }

    std::string target()
    {
        const bool tcp = std::string(GetParam().name) == "TCP";
        const int port = stack.runOnCore([tcp](const CorePtr& core) {
            const auto used = core->getTransportsUsed();
            return tcp ? used->getTcpPort() : used->getUdpPort();
        });
        return "127.0.0.1:" + std::to_string(port);
    }

    std::unique_ptr<TestSupport::SippFixture> sipp(const std::string& scenario)
    {
        return std::make_unique<TestSupport::SippFixture>(
            scenario, target(), std::vector<std::string>{"-m", "1", "-t", GetParam().sippOption, "-s", "tap"});
    }

    // The Call-ID of the stack's first incoming call, once it is reported.
    std::string waitForIncomingCall()
    {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            const std::string callId = stack.runOnCore([](const CorePtr& core) -> std::string {
                for (const auto& call : core->getCalls()) {
                    if (call->getState() == linphone::Call::State::IncomingReceived) {
                        return call->getCallLog()->getCallId();
                    }
                }
                return "";
            });
            if (!callId.empty()) {
                return callId;
            }
            std::this_thread::sleep_for(10ms);
        }
        return "";
    }

    SipStack& stack = SipStack::getInstance();
    TestSupport::LogCapture capture;
    fs::path folder;
};

TEST_P(SipMessageTapStackTest, CapturesTheWholeInviteByCallId)
{
    start(false);
    const auto peer = sipp("uac_autoanswer.xml");
    const std::string callId = waitForIncomingCall();
    ASSERT_FALSE(callId.empty()) << peer->output();

    const std::optional<std::string> text = stack.getMessageTap().takeInvite(callId);
    ASSERT_TRUE(text) << peer->messages();
    EXPECT_EQ(text->rfind("INVITE sip:tap@127.0.0.1:", 0), 0u) << *text;
    const SipHeaderMap headers(text->c_str());
    EXPECT_EQ(headers.get("Call-ID"), callId);
    EXPECT_EQ(headers.get("Alert-Info"), "<http://x>;info=alert-autoanswer");
    EXPECT_NE(text->find("\r\n\r\nv=0\r\n"), std::string::npos);
    EXPECT_EQ(text->substr(text->size() - 2), "\r\n");

    // The dumps that only the tap asked for stay out of the engine log.
    EXPECT_FALSE(capture.contains("new bytes from"));
}

TEST_P(SipMessageTapStackTest, CapturesALargeInviteAndReportsAnOversizedOneIncomplete)
{
    start(true);
    {
        const auto peer = sipp("uac_large_invite.xml");
        const std::string callId = waitForIncomingCall();
        ASSERT_FALSE(callId.empty()) << peer->output();
        const std::optional<std::string> text = stack.getMessageTap().takeInvite(callId);
        ASSERT_TRUE(text) << peer->messages();
        EXPECT_GT(text->size(), 2900u);  // about 3000: ports and ids vary in length
        EXPECT_LT(text->size(), 7000u);
        EXPECT_EQ(SipHeaderMap(text->c_str()).get("X-Padding"), std::string(2500, 'x'));
        stack.runOnCore([](const CorePtr& core) { core->terminateAllCalls(); });
    }
    {
        const auto peer = sipp("uac_oversized_invite.xml");
        const std::string callId = waitForIncomingCall();
        ASSERT_FALSE(callId.empty()) << peer->output();
        const std::optional<SipMessageTap::Invite> invite = stack.getMessageTap().take(callId);
        ASSERT_TRUE(invite) << "the headers were seen, so the message is known";
        EXPECT_FALSE(invite->complete);
        EXPECT_LE(invite->text.size(), 7000u);
        stack.runOnCore([](const CorePtr& core) { core->terminateAllCalls(); });
    }
    // With the SIP log on, the received messages reach the engine log.
    EXPECT_TRUE(capture.contains("new bytes from"));
}

INSTANTIATE_TEST_SUITE_P(Transports, SipMessageTapStackTest,
                         ::testing::Values(Transport{"UDP", "u1"}, Transport{"TCP", "t1"}),
                         [](const ::testing::TestParamInfo<Transport>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Tarvent::VirtualChannel
