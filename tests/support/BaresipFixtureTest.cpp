#include "support/BaresipFixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <thread>

#include "support/KamailioFixture.h"
#include "support/ToneDetector.h"
#include "support/WavFile.h"

namespace Tarvent::VirtualChannel::TestSupport {
namespace {

using namespace std::chrono_literals;

const std::map<std::string, std::string> kUsers{{"alice", "alicepw"}, {"bob", "bobpw"}};

BaresipFixture::Options account(const std::string& user, const KamailioFixture* registrar, double toneHz)
{
    BaresipFixture::Options options;
    options.user = user;
    options.registrar = registrar;
    options.password = kUsers.at(user);
    options.transport = "tcp";
    options.toneHz = toneHz;
    return options;
}

TEST(BaresipFixtureTest, CallThroughTheRegistrarCarriesTheCallersTone)
{
    KamailioFixture kamailio(kUsers);
    BaresipFixture alice(account("alice", &kamailio, 1000.0));
    BaresipFixture bob(account("bob", &kamailio, 697.0));

    bob.dial(alice.uri());
    ASSERT_TRUE(alice.waitForEvent("CALL_ESTABLISHED")) << alice.log() << kamailio.log();
    ASSERT_TRUE(bob.waitForEvent("CALL_ESTABLISHED")) << bob.log();
    EXPECT_NE(kamailio.log().find("challenged INVITE from bob"), std::string::npos) << kamailio.log();

    bob.sendDtmf("5");
    const auto dtmf = alice.waitForEvent("CALL_DTMF_START");
    ASSERT_TRUE(dtmf);
    EXPECT_EQ(dtmf->param, "5");

    std::this_thread::sleep_for(2s);  // two seconds of voice to record
    bob.hangup();
    ASSERT_TRUE(alice.waitForEvent("CALL_CLOSED"));
    ASSERT_TRUE(bob.waitForEvent("CALL_CLOSED"));

    EXPECT_EQ(alice.receivedAudioResets(), 0) << alice.log();
    const auto recordings = alice.receivedRecordings();
    ASSERT_EQ(recordings.size(), 1u) << alice.log();
    const WavFile heard = WavFile::read(recordings.front());
    const ToneDetector detector(heard.sampleRate);
    EXPECT_GT(detector.blocksWithTone(heard.samples, 697.0), 20);
    EXPECT_EQ(detector.blocksWithTone(heard.samples, 1000.0), 0);
}

TEST(BaresipFixtureTest, DirectCallWithManualAnswerHoldAndResume)
{
    BaresipFixture::Options calleeOptions;
    calleeOptions.user = "carol";
    calleeOptions.autoAnswer = false;
    BaresipFixture carol(calleeOptions);
    BaresipFixture::Options callerOptions;
    callerOptions.user = "dave";
    BaresipFixture dave(callerOptions);

    dave.dial(carol.contactUri());
    const auto incoming = carol.waitForEvent("CALL_INCOMING");
    ASSERT_TRUE(incoming) << carol.log();
    EXPECT_EQ(incoming->peerUri, dave.contactUri());
    carol.accept();
    ASSERT_TRUE(dave.waitForEvent("CALL_ESTABLISHED")) << dave.log();

    ASSERT_TRUE(carol.waitForEvent("CALL_REMOTE_SDP"));  // the offer of the call itself
    dave.hold();
    ASSERT_TRUE(carol.waitForEvent("CALL_REMOTE_SDP"));
    dave.resume();
    ASSERT_TRUE(carol.waitForEvent("CALL_REMOTE_SDP"));

    carol.hangup();
    EXPECT_TRUE(dave.waitForEvent("CALL_CLOSED"));
    // The hold reset what each of them receives; their recordings ended there.
    EXPECT_EQ(carol.receivedAudioResets(), 1) << carol.log();
    EXPECT_EQ(dave.receivedAudioResets(), 1) << dave.log();
}

}  // namespace
}  // namespace Tarvent::VirtualChannel::TestSupport
