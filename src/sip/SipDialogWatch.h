#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace linphone {
class Core;
}

// belle-sip's listener interface type and its events.
struct structbelle_sip_listener_t;
struct belle_sip_request_event;
struct belle_sip_response_event;

namespace Tarvent::VirtualChannel {

// Sees the SIP messages of the calls' dialogs as the SIP layer receives them,
// before the library acts on them, and keeps per Call-ID what the library
// does not tell:
// - redirects: the library answers a 302 to a call's INVITE with a new INVITE
//   to the 302's Contact, and answers that target's challenge with the
//   account's credentials, so a callee could steer the user's authenticated
//   call anywhere. Here a redirect ends the call attempt: the library is
//   shown a final answer of the same class that it does not follow
//   (kStandInStatus), and the call reports the 302 it got (reportedStatus);
// - the status code of the latest provisional answer to the call's INVITE
//   and whether it carried an SDP body (the library only tells ringing from
//   early media);
// - the dialog's tags, which a transfer with Replaces names;
// - the out-of-dialog OPTIONS that arrived (a registrar probe's way back).
// Threads: attach() and the messages on the core thread; the queries from
// any thread. `mutex_` is a leaf lock.
class SipDialogWatch {
public:
    // What the library is shown in place of a 302.
    static constexpr int kStandInStatus = 300;

    struct Provisional {
        int status = 0;
        bool sdp = false;  // Content-Type exactly "application/sdp"
    };
    struct Tags {
        std::string local;
        std::string remote;
    };

    SipDialogWatch();
    ~SipDialogWatch();

    SipDialogWatch(const SipDialogWatch&) = delete;
    SipDialogWatch& operator=(const SipDialogWatch&) = delete;

    // Core thread, once per Core, after its creation. Throws SipError when
    // the Core's SIP layer can't be reached (a redirect could not be kept
    // from being followed).
    void attach(linphone::Core& core);

    // The status the call with `callId` got, given the one the library
    // reports: the 302 behind a stand-in, else `status` unchanged.
    int reportedStatus(const std::string& callId, int status);
    // The latest provisional answer (101-199) to the call's INVITE.
    std::optional<Provisional> provisional(const std::string& callId);
    // The call's dialog tags as this side sees them, once both are known.
    std::optional<Tags> tags(const std::string& callId);
    // The other side's tag alone, known before this side's of an incoming
    // call shows in a received request (its ACK).
    std::optional<std::string> remoteTag(const std::string& callId);

    // Whether an OPTIONS outside any dialog with this Call-ID reached the
    // Core (of the last few received).
    bool receivedOptions(const std::string& callId);

    // The library's callbacks (through the listener's user context).
    void onRequest(const belle_sip_request_event* event);
    void onResponse(const belle_sip_response_event* event);

private:
    static constexpr std::size_t kRemembered = 64;

    struct Dialog {
        std::string callId;
        int redirectedStatus = 0;  // the 302 shown as kStandInStatus, or 0
        Provisional provisional;
        Tags tags;
    };
    // The record of `callId`, made (the oldest dropped) when missing. `mutex_` held.
    Dialog& dialogOf(const std::string& callId);
    const Dialog* findDialog(const std::string& callId) const;

    structbelle_sip_listener_t* listener_ = nullptr;  // ours, added to each Core's SIP layer
    std::mutex mutex_;                               // guards dialogs_ and options_
    std::deque<Dialog> dialogs_;                     // newest last
    std::deque<std::string> options_;                // Call-IDs of received OPTIONS, newest last
};

}  // namespace Tarvent::VirtualChannel
