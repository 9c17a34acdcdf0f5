#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "sip/SipLoopTimer.h"

namespace linphone {
class Call;
class Core;
}  // namespace linphone

// belle-sip's types, as its headers declare them.
struct belle_sip_provider;
struct belle_sip_client_transaction;
struct belle_sip_dialog;
struct _belle_sip_request;

namespace Tarvent::VirtualChannel {

class SipDialogWatch;
class SipSideProvider;

// Sees that a hang-up of ours reaches the far end. The BYE of an
// established call follows the dialog's route set, through the proxy that
// record-routed the call; while that proxy is away the BYE is lost: the
// call is over here (the library ends it at once) and goes on at the far
// end, whose user hears silence. A BYE that has no final answer within
// kAnswerWait, that failed on its transport, or that was refused on the way
// (a failure other than 481, which tells the far end has ended already, and
// other than a challenge that the library answers with a new BYE) is
// sent once more on the direct route: to the far end's contact (the
// dialog's remote target), from the engine's own SIP provider. The far end
// answers the second BYE it may get 481.
//
// Core thread only, except construction and destruction (released then).
class SipHangupWatch : public std::enable_shared_from_this<SipHangupWatch> {
public:
    // Four sends of a BYE over UDP, which a proxy on its way answers at once.
    static constexpr std::chrono::milliseconds kAnswerWait{4000};
    // How long the direct BYE is given for its answer (only logged).
    static constexpr std::chrono::milliseconds kDirectAnswerWait{8000};

    // `side` and `dialogs` must outlive the Cores it is attached to.
    SipHangupWatch(std::shared_ptr<SipSideProvider> side, SipDialogWatch& dialogs);
    ~SipHangupWatch();

    SipHangupWatch(const SipHangupWatch&) = delete;
    SipHangupWatch& operator=(const SipHangupWatch&) = delete;

    // Watches the calls of `core` that end from now on; lets go of
    // everything when the Core shuts down. Throws SipError when the Core's
    // SIP layer can't be reached.
    void attach(linphone::Core& core);
    // A stop that goes on at once: every BYE still without an answer goes
    // on the direct route now.
    void sendUnansweredDirectly();
    // No BYE is watched and no direct BYE waits for its answer.
    bool settled() const { return watched_.empty() && directInFlight_ == 0; }

private:
    class Hook;

    struct Watched {
        belle_sip_dialog* dialog;           // the library's, one reference of ours
        belle_sip_client_transaction* bye;  // the library's, one reference of ours
        _belle_sip_request* copy;           // what is sent again, one reference of ours
        std::string callId;
        std::string target;  // the far end's contact
        std::chrono::steady_clock::time_point deadline;
    };

    void onCallEnded(linphone::Call& call);
    void check();
    // The BYE the library sent again with credentials after a challenge;
    // false when it sent none.
    static bool followChallenge(Watched& watched);
    static void drop(const Watched& watched);
    // Sends `watched`'s BYE to the far end's contact, giving `status` (what
    // the route gave) as the reason.
    void sendDirectly(const Watched& watched, int status);
    void release();

    const std::shared_ptr<SipSideProvider> side_;
    SipDialogWatch& dialogs_;
    belle_sip_provider* provider_ = nullptr;  // the Core's; null when released
    std::vector<Watched> watched_;
    int directInFlight_ = 0;
    SipLoopTimer checker_;  // runs while BYEs are watched
};

}  // namespace Tarvent::VirtualChannel
