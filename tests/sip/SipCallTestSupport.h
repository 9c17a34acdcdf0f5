#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sip/ISipAccountCallback.h"
#include "sip/ISipCallCallback.h"
#include "sip/SipCallMediaState.h"
#include "support/BaresipFixture.h"
#include "support/KamailioFixture.h"
#include "support/SippFixture.h"
#include "support/TempDir.h"

namespace Tarvent::VirtualChannel::TestSupport {

// One event of an account or a call.
struct SipEvent {
    std::string kind;  // reg, incoming, early, confirmed, terminated, media, hold
    std::shared_ptr<SipAccount> account;
    std::shared_ptr<SipCall> call;
    bool flag = false;  // reg: isConnected; hold: isHold
    int status = 0;     // reg: status; terminated: reason
    int statusCode = 0;
    SipCallMediaState media;
    std::string text;   // incoming: the INVITE text
};

// Keeps every account and call event and lets the test wait for them.
// Any thread.
class SipEventRecorder : public ISipAccountCallback, public ISipCallCallback {
public:
    void onIncomingCall(std::shared_ptr<SipAccount> account, std::shared_ptr<SipCall> call,
                        const char* sipMessage) override;
    void onRegState(std::shared_ptr<SipAccount> account, bool isConnected, int status, int statusCode) override;
    void onCallTerminated(std::shared_ptr<SipCall> call, int reason) override;
    void onCallConfirmed(std::shared_ptr<SipCall> call) override;
    void onCallEarly(std::shared_ptr<SipCall> call) override;
    void onCallMediaState(std::shared_ptr<SipCall> call, const SipCallMediaState& mediaState) override;
    void onCallHoldStateChanged(std::shared_ptr<SipCall> call, bool isHold) override;

    // The first event not taken before that matches; waits up to `timeout`.
    std::optional<SipEvent> take(const std::string& kind, const std::shared_ptr<SipCall>& call = nullptr,
                                 std::chrono::milliseconds timeout = std::chrono::milliseconds(10000),
                                 const std::function<bool(const SipEvent&)>& match = nullptr);
    int count(const std::string& kind);
    // Runs on the core thread for every incoming call after it was filed;
    // may throw to refuse the call.
    void setIncomingHandler(std::function<void(const std::shared_ptr<SipCall>&)> handler);
    void clear();

private:
    void add(SipEvent event);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<SipEvent> events_;
    std::vector<bool> taken_;
    std::function<void(const std::shared_ptr<SipCall>&)> incomingHandler_;
};

// A running SIP stack (PulseAudio devices from the process's environment)
// and a registrar on 127.0.0.1:5060 (the test binary runs in a namespace of
// its own) with the users alice, bob, carol and dave.
class SipCallTest : public ::testing::Test {
public:
    static const std::map<std::string, std::string> kUsers;
    static std::string kUsersFor(const std::string& user) { return kUsers.at(user); }
    // A far end registered as `user` at `registrar` (with its password),
    // speaking a tone of `toneHz` (0: silence).
    static BaresipFixture::Options farEndOptions(const std::string& user, const KamailioFixture& registrar,
                                                 bool autoAnswer, double toneHz);
    // Registers `user` at `registrar` with the address of the SIPp scenario
    // `callee`: the calls to that user reach that scenario.
    static ::testing::AssertionResult registerAt(const KamailioFixture& registrar, const std::string& user,
                                                 const SippFixture& callee);

protected:
    void SetUp() override;
    void TearDown() override;

    // A registered account of `user` ("udp" or "tcp").
    std::shared_ptr<SipAccount> registeredAccount(const std::string& user, const std::string& transport = "udp");
    // The stack's own UDP port.
    static int localUdpPort();

    TempDir dir_{"ovra-sipcall"};
    std::unique_ptr<KamailioFixture> kamailio_;
    SipEventRecorder events_;
    std::vector<std::shared_ptr<SipAccount>> accounts_;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
