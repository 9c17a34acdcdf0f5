#include "sip/SipSideProvider.h"

#include <gtest/gtest.h>

#include <belle-sip/belle-sip.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "sip/SipCallTestSupport.h"
#include "sip/SipLoopTimer.h"
#include "sip/SipStack.h"
#include "support/PortPicker.h"

namespace Tarvent::VirtualChannel::TestSupport {
namespace {

using namespace std::chrono_literals;

// The engine's own provider on the running stack, with the registrar
// (which answers OPTIONS to itself 200) and ports where nobody listens.
class SipSideProviderTest : public SipCallTest {
protected:
    // Sends an OPTIONS to `target` on the core thread; the status reported
    // within `wait`, if any. False from send() fails the test.
    std::optional<int> optionsOutcome(const std::string& target, std::chrono::milliseconds timeout,
                                      std::chrono::milliseconds wait)
    {
        const auto promise = std::make_shared<std::promise<int>>();
        std::future<int> outcome = promise->get_future();
        const bool sent = SipStack::getInstance().runOnCore([&](const std::shared_ptr<linphone::Core>&) {
            SipSideProvider& side = *SipStack::getInstance().getSideProvider();
            _belle_sip_request* const request = side.createRequest("OPTIONS", target, "sip:probe@127.0.0.1", 1);
            return request != nullptr &&
                   side.send(request, "", timeout, [promise](int status) { promise->set_value(status); });
        });
        EXPECT_TRUE(sent) << target;
        if (!sent || outcome.wait_for(wait) != std::future_status::ready) {
            return std::nullopt;
        }
        return outcome.get();
    }

    static std::string silentPeer(const char* transport)
    {
        return "sip:127.0.0.1:" + std::to_string(PortPicker::freePorts(1)) + ";transport=" + transport;
    }
};

TEST_F(SipSideProviderTest, ARequestEndsWithItsAnswerItsTimeOrItsTransportFailure)
{
    EXPECT_EQ(optionsOutcome("sip:" + kamailio_->hostPort(), 5s, 10s), 200);
    EXPECT_EQ(optionsOutcome(silentPeer("udp"), 1s, 10s), SipSideProvider::kNoAnswer);
    // Refused at connect, inside the send: reported afterwards, once.
    EXPECT_EQ(optionsOutcome(silentPeer("tcp"), 5s, 10s), SipSideProvider::kTransportFailed);
}

TEST_F(SipSideProviderTest, ARequestInFlightIsDroppedUnreportedWithItsCore)
{
    const auto promise = std::make_shared<std::promise<int>>();
    std::future<int> outcome = promise->get_future();
    const std::string target = silentPeer("udp");
    ASSERT_TRUE(SipStack::getInstance().runOnCore([&](const std::shared_ptr<linphone::Core>&) {
        SipSideProvider& side = *SipStack::getInstance().getSideProvider();
        return side.send(side.createRequest("OPTIONS", target, "sip:probe@127.0.0.1", 1), "", 30s,
                         [promise](int status) { promise->set_value(status); });
    }));
    SipStack::getInstance().stop();
    EXPECT_EQ(outcome.wait_for(1s), std::future_status::timeout);
    EXPECT_FALSE(SipStack::getInstance().getSideProvider()->attached());
}

// A main loop of its own, run by the test thread for the time asked.
class SipLoopTimerTest : public ::testing::Test {
protected:
    ~SipLoopTimerTest() override { belle_sip_object_unref(loop_); }
    void run(std::chrono::milliseconds span) { belle_sip_main_loop_sleep(loop_, static_cast<int>(span.count())); }

    belle_sip_main_loop_t* const loop_ = belle_sip_main_loop_new();
};

TEST_F(SipLoopTimerTest, ATimerMayStopOrRestartItselfFromItsFunction)
{
    int repeats = 0;
    SipLoopTimer stopping([&]() {
        if (++repeats == 3) {
            stopping.stop();
        }
    });
    int restarts = 0;
    SipLoopTimer oneShot([&]() {
        if (++restarts < 3) {
            oneShot.start(loop_, 10ms, false);
        }
    });
    SipLoopTimer never([&]() { ADD_FAILURE() << "a stopped timer fired"; });

    stopping.start(loop_, 10ms, true);
    oneShot.start(loop_, 10ms, false);
    never.start(loop_, 10ms, false);
    never.stop();
    run(300ms);
    EXPECT_EQ(repeats, 3);
    EXPECT_FALSE(stopping.running());
    EXPECT_EQ(restarts, 3);
    EXPECT_FALSE(oneShot.running());
}

}  // namespace
}  // namespace Tarvent::VirtualChannel::TestSupport
