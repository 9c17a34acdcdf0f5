#include "sip/SipCallTestSupport.h"

#include <linphone++/linphone.hh>

#include "sip/AccountData.h"
#include "sip/SipAccount.h"
#include "sip/SipAudioTestSupport.h"
#include "sip/SipCall.h"
#include "sip/SipStack.h"

namespace Tarvent::VirtualChannel::TestSupport {

void SipEventRecorder::add(SipEvent event)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(event));
        taken_.push_back(false);
    }
    changed_.notify_all();
}

void SipEventRecorder::onIncomingCall(std::shared_ptr<SipAccount> account, std::shared_ptr<SipCall> call,
                                      const char* sipMessage)
{
    std::function<void(const std::shared_ptr<SipCall>&)> handler;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        handler = incomingHandler_;
    }
    SipEvent event;
    event.kind = "incoming";
    event.account = account;
    event.call = call;
    event.text = sipMessage != nullptr ? sipMessage : "";
    add(event);
    if (handler) {
        handler(call);
    }
}

void SipEventRecorder::onRegState(std::shared_ptr<SipAccount> account, bool isConnected, int status, int statusCode)
{
    SipEvent event;
    event.kind = "reg";
    event.account = account;
    event.flag = isConnected;
    event.status = status;
    event.statusCode = statusCode;
    add(event);
}

namespace {

SipEvent callEvent(const char* kind, std::shared_ptr<SipCall> call)
{
    SipEvent event;
    event.kind = kind;
    event.call = std::move(call);
    return event;
}

}  // namespace

void SipEventRecorder::onCallTerminated(std::shared_ptr<SipCall> call, int reason)
{
    SipEvent event = callEvent("terminated", std::move(call));
    event.status = reason;
    add(event);
}

void SipEventRecorder::onCallConfirmed(std::shared_ptr<SipCall> call)
{
    add(callEvent("confirmed", std::move(call)));
}

void SipEventRecorder::onCallEarly(std::shared_ptr<SipCall> call)
{
    add(callEvent("early", std::move(call)));
}

void SipEventRecorder::onCallMediaState(std::shared_ptr<SipCall> call, const SipCallMediaState& mediaState)
{
    SipEvent event = callEvent("media", std::move(call));
    event.media = mediaState;
    add(event);
}

void SipEventRecorder::onCallHoldStateChanged(std::shared_ptr<SipCall> call, bool isHold)
{
    SipEvent event = callEvent("hold", std::move(call));
    event.flag = isHold;
    add(event);
}

std::optional<SipEvent> SipEventRecorder::take(const std::string& kind, const std::shared_ptr<SipCall>& call,
                                               std::chrono::milliseconds timeout,
                                               const std::function<bool(const SipEvent&)>& match)
{
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<SipEvent> found;
    changed_.wait_for(lock, timeout, [&] {
        for (std::size_t i = 0; i < events_.size(); ++i) {
            const SipEvent& event = events_[i];
            if (!taken_[i] && event.kind == kind && (!call || event.call == call) && (!match || match(event))) {
                taken_[i] = true;
                found = event;
                return true;
            }
        }
        return false;
    });
    return found;
}

int SipEventRecorder::count(const std::string& kind)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const SipEvent& event : events_) {
        n += event.kind == kind ? 1 : 0;
    }
    return n;
}

void SipEventRecorder::setIncomingHandler(std::function<void(const std::shared_ptr<SipCall>&)> handler)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    incomingHandler_ = std::move(handler);
}

void SipEventRecorder::clear()
{
    std::vector<SipEvent> old;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        old.swap(events_);
        taken_.clear();
        incomingHandler_ = nullptr;
    }
}

const std::map<std::string, std::string> SipCallTest::kUsers{
    {"alice", "alicepw"}, {"bob", "bobpw"}, {"carol", "carolpw"}, {"dave", "davepw"}};

BaresipFixture::Options SipCallTest::farEndOptions(const std::string& user, const KamailioFixture& registrar,
                                                   bool autoAnswer, double toneHz)
{
    BaresipFixture::Options options;
    options.user = user;
    options.registrar = &registrar;
    options.password = kUsers.at(user);
    options.autoAnswer = autoAnswer;
    options.toneHz = toneHz;
    return options;
}

::testing::AssertionResult SipCallTest::registerAt(const KamailioFixture& registrar, const std::string& user,
                                                   const SippFixture& callee)
{
    std::string failure;
    if (!callee.registerAt(registrar.hostPort(), user, kUsersFor(user), &failure)) {
        return ::testing::AssertionFailure() << failure;
    }
    return ::testing::AssertionSuccess();
}

void SipCallTest::SetUp()
{
    (void)pulse();  // the devices exist before the first Core
    kamailio_ = std::make_unique<KamailioFixture>(kUsers, "127.0.0.1", 5060);
    SipStack& stack = SipStack::getInstance();
    stack.setWorkingDirectory(dir_.path());
    stack.start(false, "ovra-test", false, false);
    stack.runOnCore([](const std::shared_ptr<linphone::Core>& core) { core->enableEchoCancellation(false); });
}

void SipCallTest::TearDown()
{
    for (const auto& account : accounts_) {
        try {
            account->shutdown();
        } catch (...) {
        }
    }
    SipStack::getInstance().stop();
    events_.clear();
    accounts_.clear();
}

std::shared_ptr<SipAccount> SipCallTest::registeredAccount(const std::string& user, const std::string& transport)
{
    AccountData data;
    data.username = user;
    data.realm = "127.0.0.1";
    data.host = "ignored.example";
    data.password = kUsers.at(user);
    data.transport = transport;
    auto account = SipAccount::create(&events_, &events_, data);
    accounts_.push_back(account);
    const auto registered = events_.take("reg", nullptr, std::chrono::milliseconds(10000),
                                         [&](const SipEvent& event) { return event.account == account; });
    EXPECT_TRUE(registered && registered->flag) << kamailio_->log();
    return account;
}

int SipCallTest::localUdpPort()
{
    return SipStack::getInstance().runOnCore(
        [](const std::shared_ptr<linphone::Core>& core) { return core->getTransportsUsed()->getUdpPort(); });
}

}  // namespace Tarvent::VirtualChannel::TestSupport
