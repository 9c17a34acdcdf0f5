#pragma once

#include <string>

namespace linphone {
class Call;
}

namespace Tarvent::VirtualChannel {

// The text of an incoming call's INVITE as the engine hands it to the
// softphone, and the auto-answer test on it.
class SipInviteText {
public:
    // Core thread only. The raw INVITE from the stack's message tap when it
    // holds all of it; else its start line and the headers the call exposes
    // (From, To, Call-ID, User-Agent and the informational headers a
    // softphone reads), rebuilt.
    static std::string fromCall(linphone::Call& call);
    // True when one of the comma-separated values of any Alert-Info header
    // carries the parameter info=alert-autoanswer (names and values in any
    // case). `inviteText` is the INVITE as fromCall() gives it; `alertInfo`
    // the value the library exposes (its first Alert-Info header), which
    // counts too when the text had to be rebuilt. Any thread.
    static bool asksForAutoAnswer(const std::string& inviteText, const std::string& alertInfo);
};

}  // namespace Tarvent::VirtualChannel
