#include <gtest/gtest.h>

#include <unistd.h>

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

    // SIPp sends one INVITE of `scenario` with the Call-ID `callId`. No
    // account takes it, so the stack refuses it at once: the tap must hold
    // it all the same.
    std::unique_ptr<TestSupport::SippFixture> sipp(const std::string& scenario, const std::string& callId)
    {
        return std::make_unique<TestSupport::SippFixture>(
            scenario, target(),
            std::vector<std::string>{"-m", "1", "-t", GetParam().sippOption, "-s", "tap", "-cid_str", callId});
    }

    // A Call-ID of this test's own.
    static std::string callIdFor(const std::string& what)
    {
        return "taptest-" + what + "-" + std::to_string(::getpid()) + "-" +
               std::to_string(::testing::UnitTest::GetInstance()->random_seed());
    }

    // What the tap holds of the INVITE with `callId`, once it holds it:
    // `take` is SipMessageTap::take or takeInvite.
    template <class Take>
    auto waitForInvite(const std::string& callId, Take take) -> decltype(take(callId))
    {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (auto found = take(callId)) {
                return found;
            }
            std::this_thread::sleep_for(10ms);
        }
        return std::nullopt;
    }

    SipStack& stack = SipStack::getInstance();
    TestSupport::LogCapture capture;
    fs::path folder;
};

TEST_P(SipMessageTapStackTest, CapturesTheWholeInviteByCallId)
{
    start(false);
    const std::string callId = callIdFor("whole");
    const auto peer = sipp("uac_autoanswer.xml", callId);
    const std::optional<std::string> text =
        waitForInvite(callId, [&](const std::string& id) { return stack.getMessageTap().takeInvite(id); });
    ASSERT_TRUE(text) << peer->output() << peer->messages();
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
        const std::string callId = callIdFor("large");
        const auto peer = sipp("uac_large_invite.xml", callId);
        const std::optional<std::string> text =
            waitForInvite(callId, [&](const std::string& id) { return stack.getMessageTap().takeInvite(id); });
        ASSERT_TRUE(text) << peer->output() << peer->messages();
        EXPECT_GT(text->size(), 2900u);  // about 3000: ports and ids vary in length
        EXPECT_LT(text->size(), 7000u);
        EXPECT_EQ(SipHeaderMap(text->c_str()).get("X-Padding"), std::string(2500, 'x'));
    }
    {
        const std::string callId = callIdFor("oversized");
        const auto peer = sipp("uac_oversized_invite.xml", callId);
        const std::optional<SipMessageTap::Invite> invite =
            waitForInvite(callId, [&](const std::string& id) { return stack.getMessageTap().take(id); });
        ASSERT_TRUE(invite) << "the headers were seen, so the message is known; " << peer->output();
        EXPECT_FALSE(invite->complete);
        EXPECT_LE(invite->text.size(), 7000u);
    }
    // With the SIP log on, the received messages reach the engine log.
    EXPECT_TRUE(capture.contains("new bytes from"));
}

INSTANTIATE_TEST_SUITE_P(Transports, SipMessageTapStackTest,
                         ::testing::Values(Transport{"UDP", "u1"}, Transport{"TCP", "t1"}),
                         [](const ::testing::TestParamInfo<Transport>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Tarvent::VirtualChannel
