#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/EngineTestSupport.h"
#include "support/BaresipFixture.h"
#include "support/KamailioFixture.h"
#include "support/PulseAudioFixture.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;
using Proto::Ack;
using Proto::SipStackStatusAnswer;
using TestSupport::BaresipFixture;
using TestSupport::ChannelTestClient;
using TestSupport::CitrixTestClient;
using TestSupport::KamailioFixture;
using TestSupport::Message;
using TestSupport::PulseAudioFixture;
using TestSupport::RunningEngine;

constexpr std::uint8_t kCommand = 0;
constexpr std::uint8_t kAnswer = 1;

std::size_t occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}

bool answersStatusQueries(CitrixTestClient& client)
{
    const auto answer = client.request(TestSupport::stackQuery(), 10s);
    return answer && answer->has_sipstackstatusanswer() &&
           answer->sipstackstatusanswer().ack().statuscode() == Ack::SUCCESS;
}

TEST(EngineChannel, UnderALowDescriptorLimitClientsGetHalfOfItAndTheRestAreRefusedAndLoggedOnce)
{
    RunningEngine e({"prlimit", "--nofile=64:64", TestSupport::engineBinary()}, {});
    ASSERT_TRUE(e.ready()) << e.engine().console();
    ASSERT_TRUE(e.request(TestSupport::appStart(2)).has_appstartanswer());
    ASSERT_TRUE(e.waitForLog("Connection limit: connectionLimit=32"));
    const int port = *e.engine().waitForPort();
    // More idle clients than the engine has descriptors for.
    std::vector<std::unique_ptr<CitrixTestClient>> idle;
    for (int i = 0; i < 68; ++i) {
        idle.push_back(std::make_unique<CitrixTestClient>(port));
        ASSERT_TRUE(idle.back()->connected()) << idle.size();
    }
    EXPECT_TRUE(idle.back()->channel().waitForClose()) << "refused connections are closed at once";
    ASSERT_TRUE(e.waitForLog("Refusing incoming connections: connectionCount=32; connectionLimit=32"))
        << e.engine().log();
    // Long enough for a listener retried at every poll to log thousands of times.
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(answersStatusQueries(e.client())) << e.engine().console() << e.engine().log();
    const std::string log = e.engine().log();
    EXPECT_EQ(1u, occurrences(log, "Refusing incoming connections"));
    EXPECT_EQ(0u, occurrences(log, "Failed to accept incoming connection"));

    // Room comes free as clients leave, and a new one is taken.
    idle.erase(idle.begin(), idle.begin() + 10);
    ASSERT_TRUE(e.waitForLog("Removed socket connection", 10s, 10)) << e.engine().log();
    CitrixTestClient later(port);
    EXPECT_TRUE(answersStatusQueries(later)) << e.engine().log();
    EXPECT_TRUE(e.waitForLog("Accepting incoming connections again: refusedConnections=")) << e.engine().log();
    EXPECT_EQ(e.terminate(), 0) << e.engine().console();
}

TEST(EngineChannel, AnAnswerReachesTheConnectionThatAskedWhateverSpokeMeanwhile)
{
    RunningEngine e;
    ASSERT_TRUE(e.ready()) << e.engine().console();
    ASSERT_TRUE(e.request(TestSupport::appStart(2)).has_appstartanswer());
    ChannelTestClient asker(*e.engine().waitForPort());
    ASSERT_TRUE(e.waitForLog("Accepted incoming connection: connectionId=1"));

    // The asker's header makes it the active connection; a byte from the
    // first connection makes that one active again before the request is whole.
    const auto request = ChannelTestClient::encode(kCommand, 500, TestSupport::stackQuery().SerializeAsString());
    ASSERT_TRUE(asker.sendRaw({request.begin(), request.begin() + 16}));
    ASSERT_TRUE(e.waitForLog("oldConnectionId=0; newConnectionId=1; connectionCount=2")) << e.engine().log();
    ASSERT_TRUE(e.client().channel().sendRaw({0}));
    ASSERT_TRUE(e.waitForLog("oldConnectionId=1; newConnectionId=0; connectionCount=2")) << e.engine().log();
    ASSERT_TRUE(asker.sendRaw({request.begin() + 16, request.end()}));

    const auto answer = asker.readPacket(10s);
    ASSERT_TRUE(answer) << "the asker got no answer\n" << e.engine().log();
    EXPECT_EQ(kAnswer, answer->type);
    EXPECT_EQ(500u, answer->messageId);
    Message status;
    ASSERT_TRUE(status.ParseFromString(ChannelTestClient::payloadOf(*answer)));
    EXPECT_TRUE(status.has_sipstackstatusanswer()) << status.ShortDebugString();
    EXPECT_EQ(e.terminate(), 0) << e.engine().console();
}

TEST(EngineChannel, TheMessageLibrarysComplaintsReachTheLogNotStderrAndAreCapped)
{
    RunningEngine e;
    ASSERT_TRUE(e.ready()) << e.engine().console();
    // A string field with bytes that are not UTF-8, which the parser refuses
    // with a complaint of its own.
    Message start = TestSupport::appStart(2);
    start.mutable_appstartaction()->set_appversion("@@@@");
    std::string payload = start.SerializeAsString();
    payload.replace(payload.find("@@@@"), 4, "\xC3\x28\xFF\xFE");
    for (std::uint64_t id = 1; id <= 200; ++id) {
        ASSERT_TRUE(e.client().channel().sendPacket(kCommand, id, payload));
    }
    EXPECT_TRUE(answersStatusQueries(e.client()));
    EXPECT_EQ(e.terminate(), 0);

    const std::string console = e.engine().console();
    EXPECT_EQ(std::string::npos, console.find("invalid UTF-8")) << console;
    const std::string log = e.engine().log();
    EXPECT_EQ(200u, occurrences(log, "Received message of unknown type"));
    const std::size_t complaints = occurrences(log, "contains invalid UTF-8 data when parsing");
    EXPECT_GE(complaints, 1u) << log;
    EXPECT_LE(complaints, 10u);
}

// The SIP library cannot take back an address longer than its buffer: such a
// user name or number is refused before it reaches the library.
TEST(EngineChannel, AUserNameOrNumberTooLongForASipAddressIsRefusedNotDialled)
{
    KamailioFixture kamailio({{"alice", "alicepw"}}, "127.0.0.1", 5060);
    RunningEngine e;
    ASSERT_TRUE(e.ready()) << e.engine().console();
    ASSERT_TRUE(e.request(TestSupport::appStart(2)).has_appstartanswer());
    ASSERT_EQ(e.request(TestSupport::stackStart(), 30s).sipstackstatusanswer().status(),
              SipStackStatusAnswer::RUNNING);
    // Every character escapes to three: far beyond 1024 once escaped.
    const std::string longText(400, '^');
    const auto tryToDial = [&](const std::string& user, const std::string& number) {
        const Message created = e.request(TestSupport::createAccount(user, "pw"));
        const auto& account = created.createaccountanswer().objectidresponse();
        if (account.ack().statuscode() != Ack::SUCCESS) {
            return account.ack().statusmessage();
        }
        Message make;
        make.mutable_makecallaction()->set_accountid(account.objectid());
        make.mutable_makecallaction()->set_phonenumber(number);
        const Message made = e.request(make);
        if (made.objectidresponse().ack().statuscode() != Ack::SUCCESS) {
            return made.objectidresponse().ack().statusmessage();
        }
        Message dial;
        dial.mutable_dialaction()->set_callid(made.objectidresponse().objectid());
        return e.ack(dial).statusmessage() + " (dialled)";
    };
    EXPECT_EQ("User name is invalid: too long", tryToDial(longText, "bob"));
    EXPECT_EQ("Phone number is invalid: too long", tryToDial("carol", longText));
    EXPECT_TRUE(answersStatusQueries(e.client())) << e.engine().console();
    EXPECT_EQ(e.terminate(), 0) << e.engine().console();
}

// SIGTERM with calls up: the far ends get their BYEs, the account its
// unregistration, and the engine does not wait for answers to notifications
// that nobody can send any more.
TEST(EngineStop, SigtermWithCallsUpEndsThemAndDoesNotWaitForUnansweredNotifications)
{
    PulseAudioFixture pulse;  // the devices exist before the engine's first Core
    KamailioFixture kamailio({{"alice", "alicepw"}, {"bob", "bobpw"}, {"carol", "carolpw"}}, "127.0.0.1", 5060);
    RunningEngine e;
    ASSERT_TRUE(e.ready()) << e.engine().console();
    ASSERT_TRUE(e.request(TestSupport::appStart(2)).has_appstartanswer());
    const int accountId = e.startWithAccount("alice", "alicepw");
    ASSERT_NE(-1, accountId) << e.engine().log() << kamailio.log();

    std::vector<std::unique_ptr<BaresipFixture>> farEnds;
    std::vector<int> calls;
    for (const auto& [user, password] : {std::pair{"bob", "bobpw"}, std::pair{"carol", "carolpw"}}) {
        BaresipFixture::Options options;
        options.user = user;
        options.registrar = &kamailio;
        options.password = password;
        farEnds.push_back(std::make_unique<BaresipFixture>(options));
        Message make;
        make.mutable_makecallaction()->set_accountid(accountId);
        make.mutable_makecallaction()->set_phonenumber(user);
        const Message made = e.request(make);
        ASSERT_EQ(made.objectidresponse().ack().statuscode(), Ack::SUCCESS) << made.ShortDebugString();
        const int callId = made.objectidresponse().objectid();
        Message dial;
        dial.mutable_dialaction()->set_callid(callId);
        ASSERT_EQ(e.ack(dial).statuscode(), Ack::SUCCESS);
        ASSERT_TRUE(e.client().notification([callId](const Message& m) {
            return m.has_confirmedcallnotification() && m.confirmedcallnotification().callid() == callId;
        })) << e.engine().log();
        ASSERT_TRUE(farEnds.back()->waitForEvent("CALL_ESTABLISHED")) << farEnds.back()->log();
        calls.push_back(callId);
    }

    // From here on the client answers nothing: the hold's notification stays unanswered.
    e.client().setAnswerNotifications(false);
    Message hold;
    hold.mutable_callholdaction()->set_accountid(accountId);
    hold.mutable_callholdaction()->set_callid(calls.back());
    hold.mutable_callholdaction()->set_hold(true);
    ASSERT_EQ(e.ack(hold).statuscode(), Ack::SUCCESS);
    ASSERT_TRUE(e.client().notification(&Message::has_holdstatechangednotification));

    const auto signalled = std::chrono::steady_clock::now();
    EXPECT_EQ(e.terminate(), 0) << e.engine().console();
    const auto stopMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                              signalled).count();
    std::cout << "SIGTERM with " << calls.size() << " calls up to exit: " << stopMs << " ms\n";
    RecordProperty("stop_ms", static_cast<int>(stopMs));
    // A notification's answer is awaited for 5000 ms while the channel is read.
    EXPECT_LT(stopMs, 4000) << e.engine().log();
    for (auto& farEnd : farEnds) {
        EXPECT_TRUE(farEnd->waitForEvent("CALL_CLOSED")) << farEnd->log();
    }
    EXPECT_TRUE(kamailio.waitForRegistration("alice", 5s, false)) << kamailio.dumpRegistrations();
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
