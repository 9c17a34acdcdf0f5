#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sip/SipLoopTimer.h"

struct belle_sip_main_loop;

namespace Tarvent::VirtualChannel {

class SipDialogWatch;
class SipSideProvider;

// Asks the registrar of an account, every kPeriod while the account is
// registered, whether it still leads the account's address to this user
// agent: an OPTIONS to that address, sent to the registrar from the
// engine's own SIP provider. A registrar that holds the binding relays it
// to the Core, which answers 200; one that lost it (restarted with its
// bindings in memory, say) answers 404, 410 or 480, as it would answer a
// call for the account. Over UDP nothing else tells of such a loss until
// the next registration, minutes later; over TCP and TLS the connection
// that drops tells.
//
// Core thread only, except construction and destruction (stopped then).
class SipRegistrarProbe : public std::enable_shared_from_this<SipRegistrarProbe> {
public:
    static constexpr std::chrono::milliseconds kPeriod{15000};
    // A probe without a final answer in this time counts as unanswered:
    // a registrar on its way answers in milliseconds.
    static constexpr std::chrono::milliseconds kAnswerTimeout{5000};

    enum class Verdict {
        Reached,     // the probe came back to this Core
        Lost,        // the registrar has no binding that leads here
        Unanswered,  // no final answer in time, or no way to the registrar
        Unknown,     // an answer that tells neither (a challenge, a refusal)
    };
    // Called with each probe's verdict and the status it rests on (404 for a
    // probe that another device of the user answered).
    using Listener = std::function<void(Verdict verdict, int status)>;

    // `address`: the account's address of record; `registrar`: the SIP URI
    // the probe is sent to. `side` and `watch` must outlive the probe's run.
    SipRegistrarProbe(std::shared_ptr<SipSideProvider> side, SipDialogWatch& watch, std::string address,
                      std::string registrar, Listener listener);

    SipRegistrarProbe(const SipRegistrarProbe&) = delete;
    SipRegistrarProbe& operator=(const SipRegistrarProbe&) = delete;

    // (Re)starts the probing: the first probe goes kPeriod from now.
    void start(belle_sip_main_loop* loop);
    // Stops it; the verdict of a probe in flight is not reported.
    void stop();
    bool running() const { return timer_.running(); }

    // The verdict on a final answer `status` to a probe, given whether the
    // probe reached this Core.
    static Verdict verdictOf(int status, bool reachedUs);

private:
    void probe();
    void onAnswer(std::uint64_t round, const std::string& callId, int status);

    const std::shared_ptr<SipSideProvider> side_;
    SipDialogWatch& watch_;
    const std::string address_;
    const std::string registrar_;
    const Listener listener_;
    SipLoopTimer timer_;
    std::uint64_t round_ = 0;  // counts starts and stops: answers of older rounds are dropped
    bool inFlight_ = false;
    unsigned cseq_ = 0;
    int lastStatus_ = 0;  // of the last answered probe
};

}  // namespace Tarvent::VirtualChannel
