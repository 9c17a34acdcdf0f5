// Calls one after the other through a registrar to baresip far ends, as a
// working day brings them: plain calls, calls held and resumed, calls with
// DTMF, incoming calls, calls ended by the far end, and every few calls two
// of them joined into the conference and taken out again. Every call must
// bring its notifications, and the engine must give back what the calls
// took: its descriptors, threads and memory at the end are read from /proc
// and compared with those after the first call.
//
// SOAK_CALLS sets the number of calls (50 by default; 1000 for the long run).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "app/EngineSoakFixture.h"
#include "support/ProcessResources.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;
using TestSupport::BaresipFixture;
using TestSupport::Message;
using TestSupport::ProcessResources;

constexpr int kDefaultCalls = 50;

int soakCalls()
{
    const char* value = std::getenv("SOAK_CALLS");
    const int calls = value != nullptr ? std::atoi(value) : kDefaultCalls;
    return calls > 0 ? calls : kDefaultCalls;
}

// Room over the first call's figures that a sound engine stays within at the
// end of the run: a descriptor or thread more than that is something the
// calls left behind. Memory settles over the first few dozen calls (the
// allocator's arenas reach the size that a conference's calls need, the
// library's code is paged in) and then grows by a few KiB a call at most; a
// call that leaks its session or its streams costs hundreds of KiB.
constexpr int kDescriptorSlack = 2;
constexpr int kThreadSlack = 2;
#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's quarantine keeps freed memory resident; its leak check at
// the engine's exit stands in for the memory figure.
constexpr long kRssSlackKiB = 1L << 30;
constexpr long kRssSlackPerCallKiB = 0;
#else
constexpr long kRssSlackKiB = 16 * 1024;
constexpr long kRssSlackPerCallKiB = 16;
#endif

class EngineSoakTest : public TestSupport::EngineSoakFixture {
protected:
    // The engine's figures once the ended calls are gone: a call is deleted
    // five seconds after its end (its worker thread with it), so wait for
    // that and then until two readings a second apart agree.
    ProcessResources settledResources()
    {
        // Readings back to back (a short run's marks fall on the same call)
        // outlast the engine's idle shutdown unless each starts with a word.
        calls().alive();
        std::this_thread::sleep_for(6500ms);
        const pid_t pid = engine_.engine().process().pid();
        auto last = ProcessResources::of(pid);
        for (int attempt = 0; attempt < 15 && last; ++attempt) {
            std::this_thread::sleep_for(1s);
            const auto now = ProcessResources::of(pid);
            if (!now) {
                break;
            }
            const bool settled = now->descriptors == last->descriptors && now->threads == last->threads;
            last = now;
            if (settled) {
                break;
            }
            calls().alive();  // keeps the idle shutdown away
        }
        EXPECT_TRUE(last) << "the engine is gone";
        return last.value_or(ProcessResources{});
    }

    // An outgoing call to `farEnd`, held and resumed or given a digit on
    // request, ended by us or by the far end.
    void outgoingCall(BaresipFixture& farEnd, const std::string& user, bool holdIt, bool dtmf, bool farEndHangsUp)
    {
        const int callId = calls().confirmedCall(user);
        ASSERT_GE(callId, 0) << "no confirmed call to " << user << "\n" << farEnd.log();
        ASSERT_TRUE(farEnd.waitForEvent("CALL_ESTABLISHED")) << farEnd.log();
        if (holdIt) {
            ASSERT_TRUE(calls().hold(callId, true)) << "call " << callId;
            ASSERT_TRUE(calls().hold(callId, false)) << "call " << callId;
        }
        if (dtmf) {
            ASSERT_TRUE(calls().sendDtmf(callId, "7"));
            const auto digit = farEnd.waitForEvent("CALL_DTMF_START");
            ASSERT_TRUE(digit) << farEnd.log();
            EXPECT_EQ(digit->param, "7");
        }
        if (farEndHangsUp) {
            farEnd.hangup();
            ASSERT_TRUE(calls().terminated(callId)) << "call " << callId;
        } else {
            ASSERT_TRUE(calls().hangUp(callId)) << "call " << callId;
        }
        ASSERT_TRUE(farEnd.waitForEvent("CALL_CLOSED")) << farEnd.log();
        calls().forget(callId);
    }

    // The far end calls alice; the call is answered, then ended by the far end.
    void incomingCall(BaresipFixture& farEnd)
    {
        farEnd.dial("sip:alice@127.0.0.1");
        const auto incoming = calls().notification(&Message::has_incomingcallnotification);
        ASSERT_TRUE(incoming) << farEnd.log();
        const int callId = incoming->incomingcallnotification().callid();
        ASSERT_TRUE(calls().answer(callId)) << "call " << callId;
        ASSERT_TRUE(farEnd.waitForEvent("CALL_ESTABLISHED")) << farEnd.log();
        farEnd.hangup();
        ASSERT_TRUE(calls().terminated(callId)) << "call " << callId;
        ASSERT_TRUE(farEnd.waitForEvent("CALL_CLOSED")) << farEnd.log();
        calls().forget(callId);
    }

    // Two calls: the second holds the first; the conference takes both off
    // hold and joins them, one leaves and joins again, and its end right
    // after holds both.
    void conferenceCalls(BaresipFixture& first, BaresipFixture& second)
    {
        const int a = calls().confirmedCall("bob");
        ASSERT_GE(a, 0) << first.log();
        const int b = calls().confirmedCall("carol");
        ASSERT_GE(b, 0) << second.log();
        ASSERT_TRUE(calls().holdReported(a, true)) << "dialling the second call holds the first";

        Message start;
        start.mutable_startconferenceaction()->add_accountids(calls().accountId());
        ASSERT_EQ(calls().ack(start).statuscode(), Proto::Ack::SUCCESS);
        ASSERT_TRUE(calls().holdReported(a, false)) << "the conference takes its calls off hold";
        Message leave;
        leave.mutable_leaveconferenceaction()->set_callid(b);
        EXPECT_EQ(calls().ack(leave).statuscode(), Proto::Ack::SUCCESS);
        Message join;
        join.mutable_joinconferenceaction()->set_callid(b);
        EXPECT_EQ(calls().ack(join).statuscode(), Proto::Ack::SUCCESS);
        // Back to back, as a client may send them: the end may come while
        // the join's re-INVITEs are under way.
        Message stop;
        stop.mutable_stopconferenceaction();
        ASSERT_EQ(calls().ack(stop).statuscode(), Proto::Ack::SUCCESS);
        ASSERT_TRUE(calls().holdReported(a, true)) << "the conference's end holds its calls";
        ASSERT_TRUE(calls().holdReported(b, true)) << "the conference's end holds its calls";

        ASSERT_TRUE(calls().hangUp(a));
        ASSERT_TRUE(calls().hangUp(b));
        ASSERT_TRUE(first.waitForEvent("CALL_CLOSED")) << first.log();
        ASSERT_TRUE(second.waitForEvent("CALL_CLOSED")) << second.log();
        calls().forget(a);
        calls().forget(b);
    }
};

TEST_F(EngineSoakTest, CallAfterCallEveryCallIsReportedAndTheEngineGivesBackWhatTheCallsTook)
{
    const int total = soakCalls();
    const auto bob = farEnd("bob");
    const auto carol = farEnd("carol");
    const pid_t pid = engine_.engine().process().pid();
    std::cout << "soak: " << total << " calls; before the first: "
              << ProcessResources::of(pid).value_or(ProcessResources{}).text() << std::endl;

    struct Mark {
        int percent;
        int calls;
        ProcessResources resources;
    };
    std::vector<Mark> marks;
    std::vector<int> percents{0, 25, 50, 100};
    const auto started = std::chrono::steady_clock::now();
    int done = 0;
    for (int round = 0; done < total; ++round) {
        switch (round % 6) {
        case 0:
            outgoingCall(*bob, "bob", false, false, false);
            done += 1;
            break;
        case 1:
            outgoingCall(*carol, "carol", true, false, false);
            done += 1;
            break;
        case 2:
            outgoingCall(*bob, "bob", false, true, true);
            done += 1;
            break;
        case 3:
            incomingCall(*carol);
            done += 1;
            break;
        case 4:
            conferenceCalls(*bob, *carol);
            done += 2;
            break;
        default:
            outgoingCall(*carol, "carol", true, true, true);
            done += 1;
            break;
        }
        if (HasFatalFailure()) {
            const std::string log = engine_.engine().log();
            ADD_FAILURE() << "stopped after " << done << " of " << total << " calls\n"
                          << engine_.engine().console() << "the end of the log:\n"
                          << log.substr(log.size() - std::min<std::size_t>(log.size(), 60000));
            return;
        }
        // 0% is the first call's figure: what the first call set up for good
        // (the sound devices, the media threads) is no leak.
        while (!percents.empty() && done >= std::max(1, total * percents.front() / 100)) {
            const ProcessResources resources = settledResources();
            marks.push_back({percents.front(), done, resources});
            std::cout << "soak: " << percents.front() << "% (" << done << " calls): " << resources.text()
                      << std::endl;
            percents.erase(percents.begin());
        }
    }
    std::cout << "soak: " << done << " calls in "
              << std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count()
              << " s" << std::endl;

    ASSERT_EQ(marks.size(), 4u);
    const ProcessResources& first = marks.front().resources;
    const ProcessResources& last = marks.back().resources;
    EXPECT_LE(last.descriptors, first.descriptors + kDescriptorSlack);
    EXPECT_LE(last.threads, first.threads + kThreadSlack);
    EXPECT_LE(last.rssKiB, first.rssKiB + kRssSlackKiB + kRssSlackPerCallKiB * done);
    EXPECT_TRUE(calls().alive());
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
