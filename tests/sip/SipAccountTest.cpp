#include "sip/SipAccount.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "sip/SipCall.h"
#include "sip/SipCallTestSupport.h"
#include "sip/SipStack.h"
#include "sip/SipUriText.h"

namespace Tarvent::VirtualChannel::TestSupport {
namespace {

using namespace std::chrono_literals;

AccountData accountData(const std::string& user, const std::string& password, const std::string& transport = "udp")
{
    AccountData data;
    data.username = user;
    data.realm = "127.0.0.1";
    data.password = password;
    data.transport = transport;
    return data;
}

std::function<bool(const SipEvent&)> of(const std::shared_ptr<SipAccount>& account)
{
    return [account](const SipEvent& event) { return event.account == account; };
}

std::size_t occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}

using SipAccountTest = SipCallTest;

// Calls bob (a far end that answers by itself) from `account` and hangs up.
::testing::AssertionResult callsBob(SipEventRecorder& events, const std::shared_ptr<SipAccount>& account,
                                    BaresipFixture& bob)
{
    const auto call = account->createCall("bob");
    call->dial();
    if (!events.take("confirmed", call, 15s)) {
        return ::testing::AssertionFailure() << "not confirmed; the far end:\n" << bob.log();
    }
    call->hangup();
    if (!events.take("terminated", call) || !bob.waitForEvent("CALL_CLOSED")) {
        return ::testing::AssertionFailure() << "not ended; the far end:\n" << bob.log();
    }
    return ::testing::AssertionSuccess();
}

TEST_F(SipAccountTest, RegistersRefreshesAndUnregisters)
{
    const auto account = SipAccount::create(&events_, &events_, accountData("alice", "alicepw"));
    accounts_.push_back(account);
    EXPECT_EQ(account->getIdUri(), "sip:alice@127.0.0.1");
    EXPECT_FALSE(account->getContactRewrite());

    auto event = events_.take("reg", nullptr, 10s, of(account));
    ASSERT_TRUE(event) << kamailio_->log();
    EXPECT_TRUE(event->flag);
    EXPECT_EQ(event->status, 0);
    EXPECT_EQ(event->statusCode, 200);
    EXPECT_TRUE(kamailio_->waitForRegistration("alice", 5s));

    account->setRegistration(true);
    event = events_.take("reg", nullptr, 10s, of(account));
    ASSERT_TRUE(event);
    EXPECT_TRUE(event->flag);

    // An unregistration answered 200 leaves the account disconnected.
    account->setRegistration(false);
    event = events_.take("reg", nullptr, 10s, of(account));
    ASSERT_TRUE(event);
    EXPECT_FALSE(event->flag);
    EXPECT_EQ(event->status, 0);
    EXPECT_EQ(event->statusCode, 200);
    EXPECT_TRUE(kamailio_->waitForRegistration("alice", 5s, false));

    account->setRegistration(true);
    event = events_.take("reg", nullptr, 10s, of(account));
    ASSERT_TRUE(event);
    EXPECT_TRUE(event->flag);

    account->shutdown();
    EXPECT_TRUE(kamailio_->waitForRegistration("alice", 5s, false));
}

TEST_F(SipAccountTest, AStackStoppedRightAfterItsAccountsWentStillUnregistersThem)
{
    const auto alice = registeredAccount("alice");
    const auto bob = registeredAccount("bob", "tcp");
    ASSERT_TRUE(kamailio_->waitForRegistration("alice", 5s));
    ASSERT_TRUE(kamailio_->waitForRegistration("bob", 5s));

    // One account removed just before, one the stack's stop finds registered.
    alice->shutdown();
    SipStack::getInstance().stop();
    EXPECT_TRUE(kamailio_->waitForRegistration("alice", 5s, false)) << kamailio_->dumpRegistrations();
    EXPECT_TRUE(kamailio_->waitForRegistration("bob", 5s, false)) << kamailio_->dumpRegistrations();
}

TEST_F(SipAccountTest, OverTcpTheRegistrarIsReachedOnPort5060)
{
    const auto account = SipAccount::create(&events_, &events_, accountData("bob", "bobpw", "TCP"));
    accounts_.push_back(account);
    const auto event = events_.take("reg", nullptr, 10s, of(account));
    ASSERT_TRUE(event) << kamailio_->log();
    EXPECT_TRUE(event->flag);
    EXPECT_NE(kamailio_->dumpRegistrations().find("transport=tcp"), std::string::npos)
        << kamailio_->dumpRegistrations();
}

TEST_F(SipAccountTest, WrongPasswordFailsAndAPasswordChangeRegisters)
{
    const auto account = SipAccount::create(&events_, &events_, accountData("carol", "wrong"));
    accounts_.push_back(account);
    auto event = events_.take("reg", nullptr, 10s, of(account));
    ASSERT_TRUE(event);
    EXPECT_FALSE(event->flag);
    EXPECT_EQ(event->statusCode, 401);
    EXPECT_EQ(event->status, SipAccount::kSipStatusBase + 401);

    account->updatePassword("carolpw");
    event = events_.take("reg", nullptr, 10s, [&](const SipEvent& e) { return e.account == account && e.flag; });
    ASSERT_TRUE(event) << kamailio_->log();
    EXPECT_EQ(event->statusCode, 200);
    EXPECT_TRUE(kamailio_->waitForRegistration("carol", 5s));

    // The same password again sends nothing.
    const int before = events_.count("reg");
    account->updatePassword("carolpw");
    EXPECT_FALSE(events_.take("reg", nullptr, 1500ms, of(account)));
    EXPECT_EQ(events_.count("reg"), before);
}

TEST_F(SipAccountTest, TextThatWouldBreakAUriIsRefusedOrEscaped)
{
    EXPECT_THROW(SipAccount::create(&events_, &events_, accountData("al\r\nice", "pw")), std::runtime_error);
    AccountData badRealm = accountData("alice", "pw");
    badRealm.realm = "127.0.0.1>\r\nX-Evil: 1";
    EXPECT_THROW(SipAccount::create(&events_, &events_, badRealm), std::runtime_error);
    badRealm.realm = "";
    EXPECT_THROW(SipAccount::create(&events_, &events_, badRealm), std::runtime_error);

    const auto account = registeredAccount("dave");
    EXPECT_THROW(account->createCall("12\r\nX-Evil: 1"), std::runtime_error);
    EXPECT_THROW(account->createCall(""), std::runtime_error);
    EXPECT_THROW(account->createCall(nullptr), std::runtime_error);
    const auto call = account->createCall("+49 (30) 1234@evil.example>");
    EXPECT_EQ(call->getDestinationUri(), "sip:+49%20(30)%201234%40evil.example%3E@127.0.0.1");
    EXPECT_EQ(call->getPjsipCallId(), -1);
}

TEST(SipUriTextTest, UserPartsAreEscapedHostsAndDigitsChecked)
{
    EXPECT_EQ(SipUriText::escapeUser("alice.b-c_1", "u"), "alice.b-c_1");
    EXPECT_EQ(SipUriText::escapeUser("a%41b", "u"), "a%41b");
    EXPECT_EQ(SipUriText::escapeUser("a%zz", "u"), "a%25zz");
    EXPECT_EQ(SipUriText::escapeUser("*72#", "u"), "*72%23");
    EXPECT_THROW(SipUriText::escapeUser("a\tb", "u"), std::runtime_error);
    EXPECT_THROW(SipUriText::escapeUser(std::string("a\0b", 3), "u"), std::runtime_error);
    EXPECT_NO_THROW(SipUriText::checkHost("sip.example.com", "h"));
    EXPECT_NO_THROW(SipUriText::checkHost("[::1]:5060", "h"));
    EXPECT_THROW(SipUriText::checkHost("a;b", "h"), std::runtime_error);
    EXPECT_THROW(SipUriText::checkHost("[::1", "h"), std::runtime_error);
    // Lengths the SIP library can still write back: limits on the escaped text.
    EXPECT_NO_THROW(SipUriText::escapeUser(std::string(256, 'a'), "u"));
    EXPECT_NO_THROW(SipUriText::escapeUser(std::string(85, '^'), "u"));
    EXPECT_THROW(SipUriText::escapeUser(std::string(86, '^'), "u"), std::runtime_error);
    EXPECT_THROW(SipUriText::escapeUser(std::string(257, 'a'), "u"), std::runtime_error);
    EXPECT_NO_THROW(SipUriText::checkHost(std::string(253, 'h'), "h"));
    EXPECT_THROW(SipUriText::checkHost(std::string(254, 'h'), "h"), std::runtime_error);
    EXPECT_TRUE(SipUriText::hasPort("10.0.0.1:5070"));
    EXPECT_FALSE(SipUriText::hasPort("10.0.0.1"));
    EXPECT_FALSE(SipUriText::hasPort("::1"));
    EXPECT_TRUE(SipUriText::hasPort("[::1]:5060"));
    EXPECT_NO_THROW(SipUriText::checkDtmf("0123456789*#ABCDabcd"));
    EXPECT_THROW(SipUriText::checkDtmf("1,2"), std::runtime_error);
    EXPECT_THROW(SipUriText::checkDtmf(""), std::runtime_error);
}

TEST_F(SipAccountTest, RemovingACallKeepsANewerCallUnderTheSameIndex)
{
    const auto account = registeredAccount("alice");
    const auto older = account->createCall("100");
    const auto newer = account->createCall("101");
    account->addCall(older);
    account->addCall(newer);  // both have index -1: the newer one replaces the entry
    account->removeCall(older);
    EXPECT_EQ(account->findCall(-1), newer);
    account->removeCall(newer);
    EXPECT_EQ(account->findCall(-1), nullptr);
}

TEST_F(SipAccountTest, ACallWhoseAccountIsGoneCannotBeDialled)
{
    auto account = registeredAccount("bob");
    const auto call = account->createCall("alice");
    account->shutdown();
    EXPECT_THROW(call->dial(), std::runtime_error);  // removed from the stack
    accounts_.clear();
    events_.clear();
    account.reset();
    EXPECT_EQ(call->getAccount(), nullptr);
    EXPECT_THROW(call->dial(), std::runtime_error);
    EXPECT_THROW(call->merge(), std::runtime_error);
    EXPECT_THROW(call->muteMicrophone(true), std::runtime_error);
    EXPECT_THROW(call->hangup(), std::runtime_error);
}

TEST_F(SipAccountTest, TwoAccountsOfOneIdentityEachRegisterAndPlaceCallsAndOneOutlivesTheOther)
{
    BaresipFixture bob(farEndOptions("bob", *kamailio_, true, 0.0));
    const auto first = registeredAccount("alice");
    const auto second = registeredAccount("alice");
    EXPECT_TRUE(callsBob(events_, first, bob));
    EXPECT_TRUE(callsBob(events_, second, bob));

    // The first one's unregistration takes the binding they share away; the
    // second registers again, keeps the credentials and is called.
    first->shutdown();
    const auto again = events_.take("reg", nullptr, 10s, of(second));
    ASSERT_TRUE(again) << kamailio_->log();
    EXPECT_TRUE(again->flag);
    EXPECT_TRUE(kamailio_->waitForRegistration("alice", 5s)) << kamailio_->dumpRegistrations();
    EXPECT_TRUE(callsBob(events_, second, bob));
    bob.dial("sip:alice@127.0.0.1");
    const auto incoming = events_.take("incoming");
    ASSERT_TRUE(incoming) << bob.log();
    EXPECT_EQ(incoming->account, second);
    incoming->call->hangup();
    EXPECT_TRUE(bob.waitForEvent("CALL_CLOSED")) << bob.log();
}

TEST_F(SipAccountTest, AnIdentityHasOnePasswordForAllItsAccounts)
{
    const auto first = registeredAccount("carol");
    // A new login with another password gives it to the identity, the
    // first account included.
    const auto second = SipAccount::create(&events_, &events_, accountData("carol", "wrong"));
    accounts_.push_back(second);
    auto event = events_.take("reg", nullptr, 10s, of(second));
    ASSERT_TRUE(event);
    EXPECT_EQ(event->statusCode, 401);
    first->setRegistration(true);
    event = events_.take("reg", nullptr, 10s, of(first));
    ASSERT_TRUE(event);
    EXPECT_EQ(event->statusCode, 401);

    // A change through one of them is a change for both.
    first->updatePassword("carolpw");
    event = events_.take("reg", nullptr, 10s, of(first));
    ASSERT_TRUE(event) << kamailio_->log();
    EXPECT_TRUE(event->flag);
    second->setRegistration(true);
    event = events_.take("reg", nullptr, 10s, of(second));
    ASSERT_TRUE(event) << kamailio_->log();
    EXPECT_TRUE(event->flag);

    // Deleted accounts hold no password back: a new login may bring another.
    first->shutdown();
    second->shutdown();
    const auto anew = SipAccount::create(&events_, &events_, accountData("carol", "newer"));
    accounts_.push_back(anew);
    event = events_.take("reg", nullptr, 10s, of(anew));
    ASSERT_TRUE(event);
    EXPECT_EQ(event->statusCode, 401);
}

TEST_F(SipAccountTest, ACallThatCannotAuthenticateEndsWithTheChallengesStatus)
{
    struct Case {
        const char* challengeRealm;
        const char* password;
    };
    // Without a password, a refused one, and without a password at a
    // registrar whose realm is not the account's.
    for (const Case& c : {Case{"127.0.0.1", ""}, Case{"127.0.0.1", "wrong"}, Case{"voip.example", ""}}) {
        SCOPED_TRACE(std::string("realm=") + c.challengeRealm + "; password=\"" + c.password + "\"");
        if (kamailio_->realm() != c.challengeRealm) {
            kamailio_.reset();
            kamailio_ = std::make_unique<KamailioFixture>(kUsers, c.challengeRealm, 5060);
        }
        const auto account = SipAccount::create(&events_, &events_, accountData("carol", c.password));
        accounts_.push_back(account);
        if (kamailio_->realm() == "127.0.0.1") {
            const auto registration = events_.take("reg", nullptr, 10s, of(account));
            ASSERT_TRUE(registration) << kamailio_->log();
            EXPECT_EQ(registration->statusCode, 401);
        }

        const std::size_t challengedBefore = occurrences(kamailio_->log(), "challenged INVITE from carol");
        const auto call = account->createCall("dave");
        call->dial();
        ASSERT_TRUE(events_.take("terminated", call, 10s)) << kamailio_->log();
        const auto answer =
            events_.take("media", call, 5s, [](const SipEvent& event) { return event.media.sipStatus >= 300; });
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->media.sipStatus, 407);
        // A few tries at most.
        const std::size_t challenged = occurrences(kamailio_->log(), "challenged INVITE from carol") - challengedBefore;
        EXPECT_GE(challenged, 1u);
        EXPECT_LE(challenged, 3u);
        account->shutdown();
    }
}

}  // namespace
}  // namespace Tarvent::VirtualChannel::TestSupport
