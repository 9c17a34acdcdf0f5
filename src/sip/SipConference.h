#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace linphone {
class Call;
class Conference;
class Core;
}  // namespace linphone

namespace Tarvent::VirtualChannel {

class SipAccount;
class SipCall;
class SipStack;

// The engine's one local conference: the confirmed calls of a set of accounts
// talk with each other and with the local user. It is the library's local
// conference (audio only, with the local participant), which mixes every
// member with the others and with the sound devices, so the pairs of the
// join and leave operations become memberships: a call joins as soon as
// another conference call has audio (a member counts as having audio while
// the conference re-invites it), and leaves as a whole. Only calls of
// registered accounts become members (the library can't take a member out
// cleanly when its call has no account). SipStack's conference operations
// come here; the conference sets and clears the stack's `conferenceRunning`.
//
// The library's ways, which the operations work with:
// - the local user enters with the first member and takes the sound devices
//   from the call that has them, holding that call unless it is a member:
//   that call joins first;
// - resuming a held call holds the call that runs: at the start, and when a
//   held conference call is resumed while it runs, held calls are resumed
//   by joining them instead;
// - it refuses to hold a member, and holds each member it lets go, except a
//   last one left alone with the local user, which goes on as a plain call
//   (the conference then ends); the stop takes the local user out first, so
//   that every member is held on the way out;
// - it refuses to hold a call while it re-invites it (into the conference
//   or out of it): a stop right after a join or a leave finds such calls,
//   whose holds wait for the re-INVITE's end (SipCall::setHold);
// - it tells its members apart by the remote party's address alone (user,
//   host, port), finding each member's call as the first call of the Core
//   with that party: a call whose party another call has never joins (it
//   stays a plain call), or the library confuses the two and ends up using
//   a conference it has deleted.
//
// Threads: operations from any thread. Their work runs on the SIP core thread
// (inline when called there, as from the calls' own events), so the core
// thread serialises them; while the stack is stopped it runs on the caller's
// thread (there are no calls then). Callers hold no account or call lock.
// `mutex_` is a leaf lock: never held while calling out.
class SipConference {
public:
    using Accounts = std::vector<std::shared_ptr<SipAccount>>;
    using Calls = std::vector<std::shared_ptr<SipCall>>;

    explicit SipConference(SipStack& stack);
    ~SipConference();

    SipConference(const SipConference&) = delete;
    SipConference& operator=(const SipConference&) = delete;

    // Nothing when a conference runs already. The accounts' held calls are
    // taken off hold and the calls with audio join.
    void start(const Accounts& accounts);
    // Takes each conference call out of the conference; with two or more
    // they are all held afterwards. Nothing when none runs.
    void stop();
    // The stack's teardown: ends the conference without holding any call.
    void reset();

    void join(const std::shared_ptr<SipCall>& call);
    void join(const std::shared_ptr<SipCall>& call, const Calls& allCalls);
    void leave(const std::shared_ptr<SipCall>& call);
    void leave(const std::shared_ptr<SipCall>& call, const Calls& allCalls);
    // A held conference call comes off hold by joining (see the class
    // comment). False when it is no conference call, no other conference
    // call has audio or it can't join (its remote party has another call);
    // a refusal of the library is thrown.
    bool resume(const std::shared_ptr<SipCall>& call);

    // The confirmed calls of the conference accounts, account by account;
    // empty when no conference runs.
    Calls getCalls();

    // Core thread: whether `call` is a member of the Core's conference.
    static bool isLibraryMember(linphone::Call& call);

private:
    using CorePtr = std::shared_ptr<linphone::Core>;

    template <class F>
    void onCoreThread(F&& work);
    // Core thread: makes `call` a member (nothing when it is one already).
    void connect(const CorePtr& core, SipCall& call);
    // Core thread: takes `call` out when it is a member.
    void disconnect(SipCall& call);
    // Core thread: the account's held calls join the conference (resumed).
    void takeOffHold(const CorePtr& core, SipAccount& account, const Calls& calls);
    // Core thread: the call that has the sound devices joins ahead of the
    // held `call` (see isCurrentCall), its failure logged.
    void connectCurrentFirst(const CorePtr& core, const std::shared_ptr<SipCall>& call, const Calls& calls);
    // Core thread: the leave's work, errors logged.
    void disconnectFromAll(const std::shared_ptr<SipCall>& call, const Calls& allCalls);
    // Core thread: the library's conference, created when there is none (any more).
    std::shared_ptr<linphone::Conference> conferenceOf(const CorePtr& core);
    // Ends the library's conference (its members stay in their calls).
    void endConference();
    // The local user leaves the library's conference (the members stay).
    void leaveAsLocalUser();
    void setRunning(bool running, const Accounts& accounts);

    SipStack& stack_;
    std::mutex mutex_;  // guards accounts_; lock order level 4 (leaf)
    Accounts accounts_;
    // A leave under way (on the core thread, or the caller's while the stack
    // is stopped). The library reports the other members' changes from
    // inside the removal; joins they ask for then are skipped.
    std::atomic<int> leaving_{0};
};

}  // namespace Tarvent::VirtualChannel
