// The services on a running SIP stack, against a registrar and SIPp peers.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "service/AccountService.h"
#include "service/AudioDeviceManagerService.h"
#include "service/AudioPlayerService.h"
#include "service/AudioRecorderService.h"
#include "service/CallService.h"
#include "service/ServiceEventRecorder.h"
#include "service/ServiceTestHelpers.h"
#include "service/SipStackFacade.h"
#include "sip/ISipCallCallback.h"
#include "sip/SipAudioDeviceManager.h"
#include "sip/SipAudioTestSupport.h"
#include "sip/SipAccount.h"
#include "sip/SipCall.h"
#include "sip/SipError.h"
#include "sip/SipStack.h"
#include "support/BaresipFixture.h"
#include "support/KamailioFixture.h"
#include "support/SippFixture.h"
#include "support/TempDir.h"
#include "support/ToneDetector.h"
#include "support/WavFile.h"

#include <linphone++/linphone.hh>

namespace Tarvent::VirtualChannel::TestSupport {
namespace {

using namespace std::chrono_literals;

AccountData accountData(const std::string& user, const std::string& password)
{
    AccountData data;
    data.username = user;
    data.realm = "127.0.0.1";
    data.password = password;
    data.transport = "udp";
    return data;
}

// The engine's services wired as the application wires them, on a running
// stack, with a registrar on 127.0.0.1:5060 (users alice, bob and carol).
class ServiceStackTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        (void)pulse();  // the devices exist before the first Core
        kamailio_ = std::make_unique<KamailioFixture>(std::map<std::string, std::string>{{"alice", "alicepw"},
                                                                                         {"bob", "bobpw"},
                                                                                         {"carol", "carolpw"}},
                                                      "127.0.0.1", 5060);
        calls_.setAccountService(&accounts_);
        SipStack::getInstance().setWorkingDirectory(dir_.path());
        startStack();
    }

    void TearDown() override
    {
        tearDownServices();
        calls_.setAccountService(nullptr);
    }

    void startStack()
    {
        facade_.start(false, "ovra-test", false, false);
        calls_.start();
    }

    // The engine's teardown, in its fixed order.
    void tearDownServices()
    {
        calls_.clear();
        accounts_.clear();
        players_.disposeAll();
        recorders_.disposeAll();
        devices_.stopDeviceRefresh();
        devices_.reset();
        facade_.stop();
    }

    int registeredAccount(const std::string& user, const std::string& password)
    {
        const int accountId = accounts_.createAccount(accountData(user, password), nullptr, nullptr);
        const auto registered = client_.take("reg", 10s, [&](const ServiceEvent& e) {
            return e.accountId == accountId;
        });
        EXPECT_TRUE(registered && registered->flag)
            << (registered ? registered->value : -1) << " " << (registered ? registered->statusCode : -1) << " "
            << kamailio_->log();
        return accountId;
    }

    static int localUdpPort()
    {
        return SipStack::getInstance().runOnCore(
            [](const std::shared_ptr<linphone::Core>& core) { return core->getTransportsUsed()->getUdpPort(); });
    }

    TempDir dir_{"ovra-service"};
    std::string soundsFolder_ = dir_.makeDir("sounds");
    std::string recordsFolder_ = dir_.makeDir("records");
    std::unique_ptr<KamailioFixture> kamailio_;
    ServiceEventRecorder client_;
    SipStackFacade facade_;
    CallService calls_{&client_, 100ms};
    AccountService accounts_{&client_, &calls_};
    AudioDeviceManagerService devices_{&client_, &facade_};
    AudioPlayerService players_{&calls_, soundsFolder_};
    AudioRecorderService recorders_{&calls_, recordsFolder_};
};

TEST_F(ServiceStackTest, AccountsRegisterUnderIdsThatAreNeverReused)
{
    std::string idUri;
    bool contactRewrite = true;
    const int alice = accounts_.createAccount(accountData("alice", "alicepw"), &idUri, &contactRewrite);
    EXPECT_EQ(alice, 1);
    EXPECT_EQ(idUri, "sip:alice@127.0.0.1");
    EXPECT_FALSE(contactRewrite);
    const auto registered = client_.take("reg", 10s);
    ASSERT_TRUE(registered) << kamailio_->log();
    EXPECT_EQ(registered->accountId, alice);
    EXPECT_TRUE(registered->flag);
    EXPECT_EQ(registered->value, 0);
    EXPECT_EQ(registered->statusCode, 200);
    EXPECT_TRUE(kamailio_->waitForRegistration("alice", 5s));

    // A refused account uses up no id.
    EXPECT_NE(errorOf([&] { accounts_.createAccount(accountData("bad\nname", "pw"), nullptr, nullptr); }), "");
    const int bob = registeredAccount("bob", "bobpw");
    EXPECT_EQ(bob, 2);
    EXPECT_EQ(accounts_.getAccountObjectId(accounts_.getAccount(bob)), bob);
    EXPECT_EQ(accounts_.findCallId(bob, 12345), -1);

    accounts_.deleteAccount(alice);
    EXPECT_TRUE(kamailio_->waitForRegistration("alice", 5s, false));
    EXPECT_EQ(errorOf([&] { accounts_.getAccount(alice); }), "Invalid account ID: accountId=1");
    accounts_.clear();
    // The same user again, on the same stack.
    EXPECT_EQ(registeredAccount("alice", "alicepw"), 3);
    EXPECT_EQ(registeredAccount("carol", "carolpw"), 4);
}

TEST_F(ServiceStackTest, EventsOfAccountsAndCallsWithoutIdsAreRefusedOrReportedAsMinusOne)
{
    // An account that the service did not create (or has deleted).
    const auto stranger = SipAccount::create(&accounts_, &calls_, accountData("bob", "bobpw"));
    const auto registered = client_.take("reg", 10s);
    ASSERT_TRUE(registered) << kamailio_->log();
    EXPECT_EQ(registered->accountId, -1);
    EXPECT_TRUE(registered->flag);

    const auto call = std::make_shared<SipCall>(&calls_, stranger, 5, "bob");
    EXPECT_EQ(errorOf([&] { accounts_.onIncomingCall(stranger, call, "INVITE"); }),
              "Failed to handle incoming call because account does not exist: pjsipCallId=5");
    EXPECT_EQ(calls_.getCallCount(), 0);
    EXPECT_EQ(errorOf([&] { calls_.onCallEarly(call); }),
              "Failed to handle call event because no object ID for account has been found: pjsipCallId=5");
    stranger->shutdown();

    const int alice = registeredAccount("alice", "alicepw");
    const auto unregistered = std::make_shared<SipCall>(&calls_, accounts_.getAccount(alice), 6, "alice");
    EXPECT_EQ(errorOf([&] { calls_.onCallHoldStateChanged(unregistered, true); }),
              "Failed to handle call event because no object ID for call has been found: pjsipCallId=6");
    const int callId = calls_.addCall(unregistered);
    calls_.onCallHoldStateChanged(unregistered, true);
    const auto hold = client_.take("hold", 0ms);
    ASSERT_TRUE(hold);
    EXPECT_EQ(hold->accountId, alice);
    EXPECT_EQ(hold->callId, callId);
    EXPECT_EQ(hold->pjsipCallId, 6);
    EXPECT_TRUE(hold->flag);
    EXPECT_EQ(client_.count("early"), 0);
}

TEST_F(ServiceStackTest, AnAutoAnsweredIncomingCallHasItsIdBeforeItsFirstEvent)
{
    const int alice = registeredAccount("alice", "alicepw");
    const std::string target = "127.0.0.1:" + std::to_string(localUdpPort());
    SippFixture caller("uac_autoanswer.xml", target, {"-s", "alice", "-m", "1"});

    const auto incoming = client_.take("incoming", 10s);
    ASSERT_TRUE(incoming) << caller.output();
    EXPECT_EQ(incoming->accountId, alice);
    EXPECT_EQ(incoming->callId, 1);
    EXPECT_GE(incoming->pjsipCallId, 0);
    EXPECT_EQ(incoming->text.rfind("INVITE ", 0), 0u) << incoming->text;
    EXPECT_EQ(accounts_.findCallId(alice, incoming->pjsipCallId), incoming->callId);

    // The answer's confirmation came while the account was still taking the
    // call; it reaches the client all the same.
    const auto confirmed = client_.take("confirmed", 10s);
    ASSERT_TRUE(confirmed);
    EXPECT_EQ(confirmed->accountId, alice);
    EXPECT_EQ(confirmed->callId, incoming->callId);
    EXPECT_EQ(confirmed->pjsipCallId, incoming->pjsipCallId);

    EXPECT_EQ(caller.wait(15s), 0) << caller.output() << caller.messages();
    const auto terminated = client_.take("terminated", 10s);
    ASSERT_TRUE(terminated);
    EXPECT_EQ(terminated->callId, incoming->callId);
    // The finished call stays counted until the sweep deletes it.
    EXPECT_TRUE(waitUntil([&] { return calls_.getCallCount() == 0; }, 20s));
    EXPECT_EQ(errorOf([&] { calls_.getCall(incoming->callId); }), "Invalid call ID: callId=1");
}

TEST_F(ServiceStackTest, ABusyIncomingCallGetsAnIdButNoNotification)
{
    const int alice = registeredAccount("alice", "alicepw");
    BaresipFixture::Options bobOptions;
    bobOptions.user = "bob";
    bobOptions.password = "bobpw";
    bobOptions.registrar = kamailio_.get();
    BaresipFixture bob(bobOptions);
    BaresipFixture::Options carolOptions = bobOptions;
    carolOptions.user = "carol";
    carolOptions.password = "carolpw";
    BaresipFixture carol(carolOptions);

    bob.dial("sip:alice@127.0.0.1");
    const auto incoming = client_.take("incoming", 10s);
    ASSERT_TRUE(incoming) << bob.log();
    EXPECT_EQ(incoming->callId, 1);
    // While bob's call still rings, carol's is answered 486 by the account.
    carol.dial("sip:alice@127.0.0.1");
    const auto closed = carol.waitForEvent("CALL_CLOSED");
    ASSERT_TRUE(closed) << carol.log();
    EXPECT_NE(closed->raw.find("486"), std::string::npos) << closed->raw;
    // It is the call service's call all the same, under the next id.
    EXPECT_EQ(calls_.getCallCount(), 2);
    EXPECT_TRUE(calls_.getCall(2)->isRejectedBusy());

    calls_.getCall(incoming->callId)->hangup();
    ASSERT_TRUE(client_.take("terminated", 10s, [&](const ServiceEvent& e) { return e.callId == 1; }));
    EXPECT_TRUE(bob.waitForEvent("CALL_CLOSED"));
    EXPECT_TRUE(waitUntil([&] { return calls_.getCallCount() == 0; }, 20s));
    // Nothing was ever reported of the busy call.
    for (const char* kind : {"incoming", "early", "confirmed", "terminated", "media", "hold"}) {
        EXPECT_FALSE(client_.take(kind, 0ms, [&](const ServiceEvent& e) { return e.callId != incoming->callId; }))
            << kind;
    }
    EXPECT_EQ(client_.count("incoming"), 1);
    EXPECT_EQ(accounts_.makeCall(alice, "nobody"), 3);
}

TEST_F(ServiceStackTest, OutgoingCallEventsCarryTheAccountAndCallIds)
{
    const int alice = registeredAccount("alice", "alicepw");
    const int first = accounts_.makeCall(alice, "nobody");
    const int second = accounts_.makeCall(alice, "nobody");
    EXPECT_EQ(second, first + 1);
    calls_.dial(second);
    const auto terminated = client_.take("terminated", 15s);
    ASSERT_TRUE(terminated) << kamailio_->log();
    EXPECT_EQ(terminated->accountId, alice);
    EXPECT_EQ(terminated->callId, second);
    EXPECT_EQ(terminated->value, ISipCallCallback::kReasonNotFound);
    EXPECT_EQ(terminated->pjsipCallId, calls_.getCall(second)->getPjsipCallId());

    // Both calls go: the undialled one and the finished one.
    EXPECT_TRUE(waitUntil([&] { return calls_.getCallCount() == 0; }, 20s));
    EXPECT_EQ(accounts_.makeCall(alice, "nobody"), second + 1);
}

TEST_F(ServiceStackTest, APlayerPlaysItsFileAndReportsTheEnd)
{
    WavFile::makeTone(soundsFolder_ + "/tone.wav", 8000, 440.0, 0.5);
    EXPECT_EQ(devices_.create(), 1);
    const int player = players_.createPlayer("tone.wav", 7, false, true);
    EXPECT_EQ(player, 1);
    EXPECT_FALSE(players_.isPlaying(player));
    players_.play(player);
    EXPECT_TRUE(waitUntil([&] { return !players_.isPlaying(player); }, 15s));

    // A file that is not there uses up no id.
    EXPECT_NE(errorOf([&] { players_.createPlayer("missing.wav", -1, false, false); }), "");
    const int looping = players_.createPlayer("tone.wav", -1, true, false);
    EXPECT_EQ(looping, 2);
    players_.play(looping);
    players_.play(looping);
    players_.dispose(player);
    EXPECT_TRUE(players_.isPlaying(looping));
    players_.stop(looping);
    EXPECT_FALSE(players_.isPlaying(looping));
    players_.play(looping);
    players_.disposeAll();
    EXPECT_EQ(errorOf([&] { players_.isPlaying(looping); }), "Invalid audio player ID: audioPlayerId=2");
    EXPECT_EQ(players_.createPlayer("tone.wav", -1, false, false), 3);
}

TEST_F(ServiceStackTest, TheExtraPlaybackDeviceIsOpenExactlyWhilePlayersPlay)
{
    SipAudioDeviceManager& manager = SipAudioDeviceManager::getInstance();
    const auto extraOpen = [&] { return manager.isExtraPlaybackDeviceOpen(); };
    EXPECT_EQ(devices_.create(), 1);
    const AudioDeviceSnapshot snapshot = devices_.getSnapshot();
    int extra = -1;
    for (const AudioDeviceRecord& record : snapshot.records) {
        if (record.isOutputDevice && record.objectId != snapshot.defaultOutputObjectId) {
            extra = record.objectId;
        }
    }
    ASSERT_GT(extra, 0);
    WavFile::makeTone(soundsFolder_ + "/long.wav", 8000, 440.0, 30.0);
    WavFile::makeTone(soundsFolder_ + "/short.wav", 8000, 440.0, 0.3);

    // Asked for, but none set: the player is made all the same, and no extra device opens.
    devices_.setExtraPlaybackDevice(-1);
    const int withoutExtra = players_.createPlayer("long.wav", -1, true, true);
    players_.play(withoutExtra);
    EXPECT_FALSE(extraOpen());
    players_.dispose(withoutExtra);

    devices_.setExtraPlaybackDevice(extra);
    const int first = players_.createPlayer("long.wav", -1, true, true);
    const int second = players_.createPlayer("long.wav", -1, true, false);
    EXPECT_EQ(second, first + 1);
    // A stop of a player that never played, while none plays, leaves it closed.
    players_.stop(first);
    EXPECT_FALSE(extraOpen());
    // Any player that plays opens it, also one that does not play on it.
    players_.play(second);
    EXPECT_TRUE(extraOpen());
    players_.play(first);
    players_.play(first);  // twice: still one entry
    players_.stop(second);
    EXPECT_TRUE(extraOpen());  // one still plays
    players_.stop(first);
    EXPECT_FALSE(extraOpen());

    // Disposing of the last player that plays closes it.
    players_.play(first);
    EXPECT_TRUE(extraOpen());
    players_.dispose(first);
    EXPECT_FALSE(extraOpen());

    // So does the end of the last file that plays.
    const int once = players_.createPlayer("short.wav", -1, false, true);
    EXPECT_EQ(once, second + 1);  // the disposed ids stay used
    players_.play(once);
    EXPECT_TRUE(extraOpen());
    EXPECT_TRUE(waitUntil([&] { return !players_.isPlaying(once); }, 15s));
    EXPECT_FALSE(extraOpen());

    players_.play(second);
    EXPECT_TRUE(extraOpen());
    players_.disposeAll();
    EXPECT_FALSE(extraOpen());
}

TEST_F(ServiceStackTest, RecordersWriteFilesNamedAfterTheirIds)
{
    AudioRecorderService recorders(&calls_, dir_.path() + "/later");
    EXPECT_NE(errorOf([&] { recorders.create(); }), "");  // the folder is missing
    dir_.makeDir("later");
    EXPECT_EQ(recorders.create(), 1);
    EXPECT_EQ(recorders.create(), 2);
    recorders.dispose(1);
    EXPECT_EQ(recorders.create(), 3);
    EXPECT_FALSE(TempDir::readFile(dir_.path() + "/later/record1.wav").empty());
    EXPECT_FALSE(TempDir::readFile(dir_.path() + "/later/record3.wav").empty());
    recorders.disposeAll();
    EXPECT_EQ(errorOf([&] { recorders.stop(2); }), "Invalid audio recorder ID: audioRecorderId=2");

    // A call without media can't be recorded.
    const int alice = registeredAccount("alice", "alicepw");
    const int call = accounts_.makeCall(alice, "nobody");
    EXPECT_EQ(errorOf([&] { recorders.start(3, call); }),
              "No audio media found for call: pjsipCallId=" +
                  std::to_string(calls_.getCall(call)->getPjsipCallId()));
}

TEST_F(ServiceStackTest, TwoDevicesOfOneNameHaveNoIdUntilOneIsLeftWhichTakesTheNamesId)
{
    devices_.setVersion(2);
    devices_.create();
    SipAudioDeviceManager& manager = SipAudioDeviceManager::getInstance();
    const auto reported = [&](bool twinListed) {
        return client_.take("devices", 10s, [&](const ServiceEvent& event) {
            const auto& records = event.snapshot.records;
            return twinListed == std::any_of(records.begin(), records.end(), [](const AudioDeviceRecord& record) {
                       return record.name == "Twin Speaker";
                   });
        });
    };
    const auto idOf = [](const AudioDeviceSnapshot& snapshot, const std::string& name) {
        for (const AudioDeviceRecord& record : snapshot.records) {
            if (record.name == name) {
                return record.objectId;
            }
        }
        return -1;
    };

    const int first = pulse().addSink("twin_one", "Twin Speaker");
    manager.refreshDevices(true);
    const auto alone = reported(true);
    ASSERT_TRUE(alone);
    const int twinId = idOf(alone->snapshot, "Twin Speaker");
    devices_.setDefaultDevices(alone->snapshot.defaultInputObjectId, twinId);

    // A second device of the name: one id can't name two devices, so
    // neither is listed, and the id selects nothing while both are there.
    const int second = pulse().addSink("twin_two", "Twin Speaker");
    manager.refreshDevices(true);
    const auto both = reported(false);
    ASSERT_TRUE(both);
    EXPECT_EQ(both->snapshot.defaultOutputObjectId, -1);
    EXPECT_EQ(errorOf([&] { devices_.setDefaultDevices(alone->snapshot.defaultInputObjectId, twinId); }),
              "Could not find audio device with name \"Twin Speaker\"");

    // One left: it is the name's device again, under the name's id, and the
    // selection of the name holds: a prompt plays on it.
    pulse().removeDevice(first);
    manager.refreshDevices(true);
    const auto left = reported(true);
    ASSERT_TRUE(left);
    EXPECT_EQ(idOf(left->snapshot, "Twin Speaker"), twinId);
    EXPECT_EQ(left->snapshot.defaultOutputObjectId, twinId);
    WavFile::makeTone(soundsFolder_ + "/prompt.wav", 8000, 1000.0, 2.0);
    players_.play(players_.createPlayer("prompt.wav", -1, true, false));
    const std::vector<std::int16_t> heard = pulse().captureSink("twin_two", 3000ms);
    EXPECT_GE(ToneDetector(8000).blocksWithTone(heard, 1000.0, 0.8), 10);
    players_.disposeAll();
    devices_.setDefaultDevices(alone->snapshot.defaultInputObjectId, left->snapshot.systemDefaultOutputObjectId);
    pulse().removeDevice(second);
}

TEST_F(ServiceStackTest, DeviceIdsSurviveTeardownsAndTheTeardownRepeats)
{
    devices_.setVersion(2);
    EXPECT_EQ(devices_.create(), 1);
    EXPECT_EQ(devices_.create(), 1);
    const AudioDeviceSnapshot before = devices_.getSnapshot();
    ASSERT_FALSE(before.records.empty());
    for (std::size_t i = 1; i < before.records.size(); ++i) {
        EXPECT_LT(before.records[i - 1].objectId, before.records[i].objectId);
    }
    EXPECT_GT(before.defaultOutputObjectId, 0);
    devices_.setDefaultDevices(before.defaultInputObjectId, before.defaultOutputObjectId);
    devices_.setExtraPlaybackDevice(-1);
    devices_.startDeviceRefresh();

    WavFile::makeTone(soundsFolder_ + "/tone.wav", 8000, 440.0, 0.2);
    registeredAccount("alice", "alicepw");
    players_.createPlayer("tone.wav", -1, true, false);
    recorders_.create();

    tearDownServices();
    tearDownServices();
    const std::string stopped = "SIP stack is not running";
    EXPECT_EQ(errorOf([&] { accounts_.createAccount(accountData("alice", "alicepw"), nullptr, nullptr); }),
              stopped);
    EXPECT_EQ(errorOf([&] { devices_.create(); }), stopped);
    EXPECT_EQ(errorOf([&] { players_.createPlayer("tone.wav", -1, false, false); }), stopped);
    EXPECT_EQ(errorOf([&] { recorders_.create(); }), stopped);
    EXPECT_EQ(errorOf([&] { accounts_.getAccount(1); }), "Invalid account ID: accountId=1");

    startStack();
    EXPECT_EQ(devices_.create(), 1);
    const AudioDeviceSnapshot after = devices_.getSnapshot();
    for (const AudioDeviceRecord& record : before.records) {
        for (const AudioDeviceRecord& again : after.records) {
            if (again.name == record.name) {
                EXPECT_EQ(again.objectId, record.objectId) << record.name;
            }
        }
    }
    EXPECT_EQ(registeredAccount("alice", "alicepw"), 2);
    EXPECT_EQ(players_.createPlayer("tone.wav", -1, false, false), 2);
    EXPECT_EQ(recorders_.create(), 2);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel::TestSupport
