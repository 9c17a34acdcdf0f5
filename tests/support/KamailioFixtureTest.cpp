#include "support/KamailioFixture.h"

#include <gtest/gtest.h>

#include <chrono>

#include "support/SippFixture.h"

namespace Tarvent::VirtualChannel::TestSupport {
namespace {

using namespace std::chrono_literals;

const std::map<std::string, std::string> kUsers{{"alice", "alicepw"}};

TEST(KamailioFixtureTest, AnswersOptionsFromSippAndStops)
{
    KamailioFixture kamailio(kUsers);
    EXPECT_TRUE(kamailio.answersOptions(2s));

    SippFixture sipp("options.xml", kamailio.hostPort(), {"-m", "1"});
    const auto exitCode = sipp.wait(30s);
    ASSERT_TRUE(exitCode.has_value()) << sipp.output();
    EXPECT_EQ(*exitCode, 0) << sipp.output();
    EXPECT_NE(sipp.messages().find("SIP/2.0 200 OK"), std::string::npos) << sipp.messages();

    EXPECT_EQ(kamailio.dumpRegistrations().find("AoR:"), std::string::npos);
    kamailio.stop();
    EXPECT_FALSE(kamailio.answersOptions(200ms));
}

TEST(KamailioFixtureTest, ChallengesRegisterAndKeepsTheLocation)
{
    KamailioFixture kamailio(kUsers);
    SippFixture wrong("register.xml", kamailio.hostPort(),
                      {"-m", "1", "-s", "alice", "-au", "alice", "-ap", "wrong"});
    ASSERT_EQ(wrong.wait(30s).value_or(-1), 1) << wrong.output();
    EXPECT_FALSE(kamailio.waitForRegistration("alice", 0ms));

    SippFixture right("register.xml", kamailio.hostPort(),
                      {"-m", "1", "-s", "alice", "-au", "alice", "-ap", "alicepw"});
    ASSERT_EQ(right.wait(30s).value_or(-1), 0) << right.output() << right.messages();
    EXPECT_NE(right.messages().find("SIP/2.0 401"), std::string::npos);
    EXPECT_TRUE(kamailio.waitForRegistration("alice", 5s)) << kamailio.dumpRegistrations();
}

}  // namespace
}  // namespace Tarvent::VirtualChannel::TestSupport
