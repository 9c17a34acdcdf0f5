#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <utility>

namespace linphone {
class Core;
}

// belle-sip's listener interface type and its response event.
struct structbelle_sip_listener_t;
struct belle_sip_response_event;

namespace Tarvent::VirtualChannel {

// Keeps the SIP library from following a redirect. The library answers a 302
// to a call's INVITE with a new INVITE to the 302's Contact, and answers that
// target's challenge with the account's credentials: a callee could steer the
// user's authenticated call anywhere. A redirect ends the call attempt here,
// and is reported with its own status code.
//
// The guard sees every SIP response before the library's own handling does;
// a 302 to a dialog-creating INVITE reaches the library as a final answer it
// does not follow (kStandInStatus), and the call reports the 302 it got
// (reportedStatus).
// Threads: attach() and the responses on the core thread; reportedStatus()
// any thread. `mutex_` is a leaf lock.
class SipRedirectGuard {
public:
    // What the library is shown in place of a 302: a final answer of the
    // same class that it takes as the end of the call attempt.
    static constexpr int kStandInStatus = 300;

    SipRedirectGuard();
    ~SipRedirectGuard();

    SipRedirectGuard(const SipRedirectGuard&) = delete;
    SipRedirectGuard& operator=(const SipRedirectGuard&) = delete;

    // Core thread, once per Core, after its creation. Throws SipError when
    // the Core's SIP layer can't be reached (the redirect could not be kept
    // from being followed).
    void attach(linphone::Core& core);

    // The status the call with `callId` got, given the one the library
    // reports: the 302 behind a stand-in, else `status` unchanged.
    int reportedStatus(const std::string& callId, int status);

    // The library's response callback (through the listener's user context).
    void onResponse(const belle_sip_response_event* event);

private:
    static constexpr std::size_t kRemembered = 16;

    structbelle_sip_listener_t* listener_ = nullptr;  // ours, added to each Core's SIP layer
    std::mutex mutex_;                        // guards redirected_
    std::deque<std::pair<std::string, int>> redirected_;  // Call-ID and original status, newest last
};

}  // namespace Tarvent::VirtualChannel
