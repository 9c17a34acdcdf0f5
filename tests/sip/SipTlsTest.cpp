#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include <linphone++/linphone.hh>

#include "sip/AccountData.h"
#include "sip/SipAccount.h"
#include "sip/SipAudioTestSupport.h"
#include "sip/SipCall.h"
#include "sip/SipCallTestSupport.h"
#include "sip/SipStack.h"
#include "support/BaresipFixture.h"
#include "support/ToneDetector.h"
#include "support/WavFile.h"

namespace Tarvent::VirtualChannel::TestSupport {
namespace {

using namespace std::chrono_literals;

// SipCallTest whose registrar has a TLS listener on 127.0.0.1:5061 too, its
// certificate issued by a CA the stack doesn't know unless told. (Not its
// registrar replaced: kamailio stopped right after its start can take
// seconds to end.)
class SipTlsTest : public SipCallTest {
protected:
    void SetUp() override
    {
        (void)pulse();  // the devices exist before the first Core
        kamailio_ = std::make_unique<KamailioFixture>(kUsers, "127.0.0.1", 5060, registrarTls());
        SipStack& stack = SipStack::getInstance();
        stack.setWorkingDirectory(dir_.path());
        stack.start(false, "ovra-test", false, false);
        stack.runOnCore([](const std::shared_ptr<linphone::Core>& core) { core->enableEchoCancellation(false); });
    }

    virtual KamailioFixture::Tls registrarTls() const { return {}; }

    // The stack trusts the registrar's CA (and nothing else) from here on.
    void trustTestCa()
    {
        const std::string caFile = kamailio_->caFile();
        SipStack::getInstance().runOnCore(
            [&](const std::shared_ptr<linphone::Core>& core) { core->setRootCa(caFile); });
    }

    std::shared_ptr<SipAccount> tlsAccount(const std::string& user)
    {
        AccountData data;
        data.username = user;
        data.realm = "127.0.0.1";
        data.password = kUsers.at(user);
        data.transport = "tls";
        const auto account = SipAccount::create(&events_, &events_, data);
        accounts_.push_back(account);
        return account;
    }

    std::optional<SipEvent> registration(const std::shared_ptr<SipAccount>& account)
    {
        return events_.take("reg", nullptr, 10s, [&](const SipEvent& event) { return event.account == account; });
    }

    // alice, on TLS, calls bob (`bob`, at the registrar). The call once its
    // media runs, with that media's state; null (and a failure) otherwise.
    std::shared_ptr<SipCall> callOverTls(const BaresipFixture& bob, SipCallMediaState& media)
    {
        trustTestCa();
        const auto account = tlsAccount("alice");
        const auto registered = registration(account);
        if (!registered || !registered->flag) {
            ADD_FAILURE() << "alice did not register\n" << kamailio_->log();
            return nullptr;
        }
        const auto call = account->createCall("bob");
        call->dial();
        const auto active = events_.take("media", call, 10s, [](const SipEvent& e) { return e.media.mediaState == 1; });
        if (!active || !call->isConfirmed()) {
            ADD_FAILURE() << "the call did not start\n" << bob.log() << kamailio_->log();
            return nullptr;
        }
        media = active->media;
        return call;
    }

    // A registration that must fail: reported as a failure without a SIP
    // answer (the connection never came up), and no REGISTER reached the
    // registrar on any transport.
    void expectRefusedConnection(const std::shared_ptr<SipAccount>& account)
    {
        const auto event = registration(account);
        ASSERT_TRUE(event) << kamailio_->log();
        EXPECT_FALSE(event->flag);
        EXPECT_EQ(event->statusCode, 503);
        EXPECT_EQ(event->status, SipAccount::kSipStatusBase + 503);
        EXPECT_EQ(kamailio_->dumpRegistrations().find("AoR:"), std::string::npos) << kamailio_->dumpRegistrations();
        EXPECT_EQ(kamailio_->log().find("challenged REGISTER"), std::string::npos) << kamailio_->log();
    }
};

TEST_F(SipTlsTest, ATlsAccountRegistersOverTlsAndUnregistersOnShutdown)
{
    trustTestCa();
    const auto account = tlsAccount("alice");
    const auto event = registration(account);
    ASSERT_TRUE(event) << kamailio_->log();
    EXPECT_TRUE(event->flag);
    EXPECT_EQ(event->status, 0);
    EXPECT_EQ(event->statusCode, 200);
    ASSERT_TRUE(kamailio_->waitForRegistration("alice", 5s));
    const std::string location = kamailio_->dumpRegistrations();
    EXPECT_NE(location.find("transport=tls"), std::string::npos) << location;
    EXPECT_NE(location.find("tls:127.0.0.1:5061"), std::string::npos) << location;

    account->shutdown();
    EXPECT_TRUE(kamailio_->waitForRegistration("alice", 5s, false)) << kamailio_->dumpRegistrations();
}

TEST_F(SipTlsTest, AStackStoppedWithATlsAccountRegisteredUnregistersIt)
{
    trustTestCa();
    const auto account = tlsAccount("bob");
    const auto event = registration(account);
    ASSERT_TRUE(event && event->flag) << kamailio_->log();
    ASSERT_TRUE(kamailio_->waitForRegistration("bob", 5s));

    SipStack::getInstance().stop();
    EXPECT_TRUE(kamailio_->waitForRegistration("bob", 5s, false)) << kamailio_->dumpRegistrations();
}

// Nothing but the stack's defaults: the system's CA store, which doesn't
// hold the registrar's CA.
TEST_F(SipTlsTest, ACertificateOfAnUntrustedCaFailsTheRegistration)
{
    expectRefusedConnection(tlsAccount("carol"));
}

class SipTlsOtherHostTest : public SipTlsTest {
protected:
    KamailioFixture::Tls registrarTls() const override { return {"DNS:registrar.example"}; }
};

TEST_F(SipTlsOtherHostTest, ACertificateForAnotherHostFailsTheRegistrationEvenFromATrustedCa)
{
    trustTestCa();
    expectRefusedConnection(tlsAccount("dave"));
}

// The engine's microphone is the PulseAudio sine source.
constexpr double kOurTone = 1000.0;

BaresipFixture::Options farEnd(const std::string& user, const KamailioFixture& registrar,
                               const std::string& mediaEncryption)
{
    BaresipFixture::Options options;
    options.user = user;
    options.registrar = &registrar;
    options.password = SipCallTest::kUsersFor(user);
    options.mediaEncryption = mediaEncryption;
    return options;
}

// Waits until the call has received and sent enough media for a recording.
void letMediaFlow(SipCall& call)
{
    long long tx = 0;
    long long rx = 0;
    for (int i = 0; i < 80 && (tx <= 100 || rx <= 100); ++i) {
        std::this_thread::sleep_for(100ms);
        const SipCallStatistics statistics = call.updateCallStatistics();
        tx += statistics.txPacketsDelta;
        rx += statistics.rxPacketsDelta;
    }
    EXPECT_GT(tx, 100);
    EXPECT_GT(rx, 100);
}

TEST_F(SipTlsTest, ACallOfATlsAccountNegotiatesSrtpWithAFarEndThatSpeaksIt)
{
    BaresipFixture bob(farEnd("bob", *kamailio_, "srtp-mand"));
    SipCallMediaState media;
    const auto call = callOverTls(bob, media);
    ASSERT_TRUE(call);
    EXPECT_TRUE(media.srtpActive);
    letMediaFlow(*call);

    call->hangup();
    ASSERT_TRUE(events_.take("terminated", call));
    ASSERT_TRUE(bob.waitForEvent("CALL_CLOSED"));
    // The far end decrypted what it got: our tone is in its recording.
    const auto recordings = bob.receivedRecordings();
    ASSERT_EQ(recordings.size(), 1u) << bob.log();
    const WavFile heard = WavFile::read(recordings.front());
    EXPECT_GT(ToneDetector(heard.sampleRate).blocksWithTone(heard.samples, kOurTone), 10);
}

TEST_F(SipTlsTest, AnIncomingCallOfATlsAccountIsAnsweredWithSrtp)
{
    BaresipFixture bob(farEnd("bob", *kamailio_, "srtp-mand"));
    trustTestCa();
    const auto account = tlsAccount("alice");
    ASSERT_TRUE(registration(account));
    bob.dial("sip:alice@127.0.0.1");
    const auto incoming = events_.take("incoming");
    ASSERT_TRUE(incoming) << bob.log() << kamailio_->log();
    const auto call = incoming->call;
    call->answerAudio();
    ASSERT_TRUE(events_.take("confirmed", call));
    const auto active = events_.take("media", call, 5s, [](const SipEvent& e) { return e.media.mediaState == 1; });
    ASSERT_TRUE(active);
    EXPECT_TRUE(active->media.srtpActive);
    call->hangup();
    ASSERT_TRUE(events_.take("terminated", call));
}

// SRTP is offered, not required: a far end without it still gets the call.
TEST_F(SipTlsTest, ACallOfATlsAccountFallsBackToRtpWithAFarEndWithoutSrtp)
{
    BaresipFixture bob(farEnd("bob", *kamailio_, ""));
    SipCallMediaState media;
    const auto call = callOverTls(bob, media);
    ASSERT_TRUE(call);
    EXPECT_FALSE(media.srtpActive);
    call->hangup();
    ASSERT_TRUE(events_.take("terminated", call));
}

}  // namespace
}  // namespace Tarvent::VirtualChannel::TestSupport
