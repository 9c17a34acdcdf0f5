#pragma once

#include <memory>
#include <string>
#include <vector>

namespace linphone {
class Call;
class Conference;
class CoreListener;
}  // namespace linphone

namespace Tarvent::VirtualChannel {

class SipRecordingSegment;
class SipStack;

// What the recorders record from: the library's own recordings, shared
// between every recorder that records the same audio.
//
// The library records a call only into one file of its own (both directions
// mixed), and not at all while the call is a member of the local
// conference; the conference records only its whole mix, into one file. So
// a recorder of a call records the call's own recording while the call is
// a plain call, and the conference's mix (what the call's far end and the
// local user hear and say, the other members included) while it is a
// member; it moves between the two as the call joins and leaves, and its
// recording ends when the call ends.
//
// Every library recording runs while at least one recorder records it, and
// is cut into a finished piece whenever a recorder starts or stops on it or
// moves on or off it: each piece goes to the recorders that were on it the
// whole time, so every recorder gets exactly the audio of its own recording
// time, and nothing is ever written twice. Cutting costs the core thread a
// few system calls; the pieces are copied by the recorders' own threads.
//
// Threads: core thread only (the library's objects live there). It follows
// the calls through a listener that every Core gets; what it learns there
// is acted on in a task posted right after the callback. When the Core shuts
// down every recording is cut and every recorder told that it ended.
class SipRecordingSources {
public:
    // A recorder's end of a recording. Its operations run on the core
    // thread and must return at once and not throw.
    class ISink {
    public:
        virtual ~ISink() = default;
        // A finished piece of audio recorded while the sink was attached,
        // in time order.
        virtual void deliver(const std::shared_ptr<SipRecordingSegment>& segment) = 0;
        // The recording ended without detach (the call ended, the Core went
        // down): the sink is no longer attached; its last piece came before.
        virtual void ended() = 0;
    };

    explicit SipRecordingSources(SipStack& stack);
    ~SipRecordingSources();

    SipRecordingSources(const SipRecordingSources&) = delete;
    SipRecordingSources& operator=(const SipRecordingSources&) = delete;

    // For every Core the stack makes. It holds only a plain pointer to this
    // object, which lives as long as the stack.
    std::shared_ptr<linphone::CoreListener> coreListener();

    // Records `call` into `sink` from now on. Nothing when `sink` records
    // already. Throws SipError when the call has ended, has no record file,
    // or the library refuses to record it; nothing is attached then.
    void attach(const std::shared_ptr<linphone::Call>& call, const std::shared_ptr<ISink>& sink);
    // Gives `sink` the rest of its recording and lets go of it; nothing when
    // it is not attached.
    void detach(const ISink& sink);
    // Every recording cut and delivered, every sink told that it ended.
    void releaseAll();

private:
    class Listener;
    struct Source;
    struct Binding;

    // The source that records `call` now, made when needed; null (with the
    // reason) when the call can't be recorded, with `ended` set when
    // because it is over.
    Source* sourceFor(const std::shared_ptr<linphone::Call>& call, std::string& reason, bool& ended);
    // Ends the library's recording of `source` and hands what it recorded
    // to its sinks.
    void cut(Source& source);
    // Starts the library's recording of `source`; false when it refused.
    bool resume(Source& source);
    // Takes `sink` off `source`; the others go on recording.
    void leave(Source& source, const ISink& sink);
    void dropIdleSources();
    // The conference is being ended: its recording is cut for good.
    void conferenceEnding(linphone::Conference& conference);
    // Brings every binding to the source its call needs now.
    void reconcile();
    void scheduleReconcile();

    SipStack& stack_;
    const std::shared_ptr<Listener> listener_;
    std::vector<std::unique_ptr<Source>> sources_;
    std::vector<Binding> bindings_;
    bool reconcileScheduled_ = false;
};

}  // namespace Tarvent::VirtualChannel
