#include "sip/SipRecordingSources.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

#include <linphone++/linphone.hh>

#include "logging/Logger.h"
#include "sip/CallRecordFiles.h"
#include "sip/SipConference.h"
#include "sip/SipError.h"
#include "sip/SipRecordingSegment.h"
#include "sip/SipStack.h"

namespace Tarvent::VirtualChannel {

namespace {

bool hasEnded(linphone::Call::State state)
{
    using State = linphone::Call::State;
    return state == State::End || state == State::Released || state == State::Error;
}

bool isGone(linphone::Conference::State state)
{
    using State = linphone::Conference::State;
    return state == State::TerminationPending || state == State::Terminated || state == State::Deleted ||
           state == State::CreationFailed;
}

// The library of this version tells whether it records a call only through
// the call itself: a recording it refuses (a conference member's) leaves it false.
bool isRecording(linphone::Call& call)
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return call.isRecording();
#pragma GCC diagnostic pop
}

// No failure may leave a callback of the library or a task of the core thread.
template <class F>
void guarded(F&& work)
{
    try {
        work();
    } catch (const SipError& error) {
        logError("Failed to follow call recordings: reason=\"%s\"", error.reason.c_str());
    } catch (const std::exception& error) {
        logError("Failed to follow call recordings: what=%s", error.what());
    }
}

}  // namespace

// One recording of the library: a call's own, or the conference's mix.
struct SipRecordingSources::Source {
    std::shared_ptr<linphone::Call> call;              // a call's own recording
    std::shared_ptr<linphone::Conference> conference;  // or the conference's mix
    std::string spool;                                 // where the library records it
    bool running = false;
    bool gone = false;             // the conference is ending: its recording is over
    bool refusalLogged = false;
    std::vector<std::shared_ptr<ISink>> sinks;

    const void* key() const { return call ? static_cast<const void*>(call->cPtr()) : conference->cPtr(); }
    const char* what() const { return call ? "call" : "conference"; }
};

struct SipRecordingSources::Binding {
    std::shared_ptr<ISink> sink;
    std::shared_ptr<linphone::Call> call;
    Source* source = nullptr;  // null while the call can't be recorded (for a moment)
};

class SipRecordingSources::Listener : public linphone::CoreListener {
public:
    explicit Listener(SipRecordingSources& owner) : owner_(owner) {}

    void onCallStateChanged(const std::shared_ptr<linphone::Core>& /*core*/,
                            const std::shared_ptr<linphone::Call>& /*call*/, linphone::Call::State /*state*/,
                            const std::string& /*message*/) override
    {
        guarded([this] { owner_.scheduleReconcile(); });
    }

    void onConferenceStateChanged(const std::shared_ptr<linphone::Core>& /*core*/,
                                  const std::shared_ptr<linphone::Conference>& conference,
                                  linphone::Conference::State state) override
    {
        guarded([&] {
            if (conference && isGone(state)) {
                owner_.conferenceEnding(*conference);
            }
            owner_.scheduleReconcile();
        });
    }

    void onGlobalStateChanged(const std::shared_ptr<linphone::Core>& /*core*/, linphone::GlobalState state,
                              const std::string& /*message*/) override
    {
        if (state == linphone::GlobalState::Shutdown) {
            guarded([this] { owner_.releaseAll(); });
        }
    }

private:
    SipRecordingSources& owner_;
};

SipRecordingSources::SipRecordingSources(SipStack& stack)
    : stack_(stack), listener_(std::make_shared<Listener>(*this))
{
}

SipRecordingSources::~SipRecordingSources() = default;

std::shared_ptr<linphone::CoreListener> SipRecordingSources::coreListener()
{
    return listener_;
}

SipRecordingSources::Source* SipRecordingSources::sourceFor(const std::shared_ptr<linphone::Call>& call,
                                                            std::string& reason, bool& ended)
{
    ended = false;
    if (!call || hasEnded(call->getState())) {
        ended = true;
        reason = "The call has ended";
        return nullptr;
    }
    // The live conference of a member; a call's own pointer may name a
    // conference that the library has deleted since (see SipConference).
    const std::shared_ptr<linphone::Conference> conference =
        SipConference::isLibraryMember(*call) ? call->getCore()->getConference() : nullptr;
    const void* const key = conference ? conference->cPtr() : static_cast<const void*>(call->cPtr());
    for (const std::unique_ptr<Source>& source : sources_) {
        if (source->key() == key) {
            if (source->gone) {
                reason = "The conference is ending";
                return nullptr;
            }
            return source.get();
        }
    }
    auto source = std::make_unique<Source>();
    if (conference) {
        source->conference = conference;
        source->spool = CallRecordFiles::newSpoolFile("conference");
    } else {
        const std::shared_ptr<const linphone::CallParams> params = call->getParams();
        source->spool = params ? params->getRecordFile() : std::string();
        if (source->spool.empty()) {
            reason = "The call has no record file";
            return nullptr;
        }
        source->call = call;
    }
    sources_.push_back(std::move(source));
    return sources_.back().get();
}

void SipRecordingSources::cut(Source& source)
{
    if (!source.running) {
        return;
    }
    source.running = false;
    if (source.call) {
        source.call->stopRecording();
    } else if (!source.gone) {
        source.conference->stopRecording();
    }
    std::shared_ptr<SipRecordingSegment> segment;
    try {
        segment = SipRecordingSegment::take(source.spool);
    } catch (const SipError& error) {
        logError("Failed to take a piece of a call recording: reason=\"%s\"", error.reason.c_str());
    }
    if (segment) {
        for (const std::shared_ptr<ISink>& sink : source.sinks) {
            sink->deliver(segment);
        }
    }
}

bool SipRecordingSources::resume(Source& source)
{
    if (source.running || source.sinks.empty() || source.gone) {
        return source.running;
    }
    if (source.call) {
        source.call->startRecording();
        source.running = isRecording(*source.call);
    } else {
        // The library does not say whether its conference records: the file
        // it opens at once when it does tells.
        std::error_code error;
        source.running = source.conference->startRecording(source.spool) == 0 &&
                         std::filesystem::exists(source.spool, error);
    }
    if (source.running) {
        source.refusalLogged = false;
    } else if (!source.refusalLogged) {
        source.refusalLogged = true;
        logWarning("The library refused to record the %s: spool=\"%s\"", source.what(), source.spool.c_str());
    }
    return source.running;
}

void SipRecordingSources::leave(Source& source, const ISink& sink)
{
    cut(source);
    source.sinks.erase(std::remove_if(source.sinks.begin(), source.sinks.end(),
                                      [&](const std::shared_ptr<ISink>& entry) { return entry.get() == &sink; }),
                       source.sinks.end());
    resume(source);
}

void SipRecordingSources::dropIdleSources()
{
    sources_.erase(std::remove_if(sources_.begin(), sources_.end(),
                                  [this](const std::unique_ptr<Source>& source) {
                                      if (!source->sinks.empty()) {
                                          return false;
                                      }
                                      cut(*source);
                                      return true;
                                  }),
                   sources_.end());
}

void SipRecordingSources::attach(const std::shared_ptr<linphone::Call>& call, const std::shared_ptr<ISink>& sink)
{
    for (const Binding& binding : bindings_) {
        if (binding.sink == sink) {
            return;
        }
    }
    std::string reason;
    bool ended = false;
    Source* const source = sourceFor(call, reason, ended);
    if (source == nullptr) {
        OVRA_THROW_SIP_ERROR(-1, "Call::startRecording", reason);
    }
    // The recorders on it already get their piece up to here.
    cut(*source);
    source->sinks.push_back(sink);
    if (!resume(*source)) {
        const std::string what = source->what();
        source->sinks.pop_back();
        resume(*source);
        dropIdleSources();
        OVRA_THROW_SIP_ERROR(-1, "SipRecordingSources::attach", "The " + what + " can't be recorded");
    }
    bindings_.push_back(Binding{sink, call, source});
}

void SipRecordingSources::detach(const ISink& sink)
{
    const auto found = std::find_if(bindings_.begin(), bindings_.end(),
                                    [&](const Binding& binding) { return binding.sink.get() == &sink; });
    if (found == bindings_.end()) {
        return;
    }
    if (found->source != nullptr) {
        leave(*found->source, sink);
    }
    bindings_.erase(found);
    dropIdleSources();
}

void SipRecordingSources::releaseAll()
{
    for (const std::unique_ptr<Source>& source : sources_) {
        cut(*source);
    }
    std::vector<Binding> bindings;
    bindings.swap(bindings_);
    sources_.clear();
    for (const Binding& binding : bindings) {
        binding.sink->ended();
    }
}

void SipRecordingSources::conferenceEnding(linphone::Conference& conference)
{
    for (const std::unique_ptr<Source>& source : sources_) {
        if (source->conference && source->conference->cPtr() == conference.cPtr() && !source->gone) {
            // Now, while the conference still has its mix: the recorders
            // move on only after this callback.
            cut(*source);
            source->gone = true;
        }
    }
}

void SipRecordingSources::scheduleReconcile()
{
    if (bindings_.empty() || reconcileScheduled_) {
        return;
    }
    reconcileScheduled_ = true;
    try {
        // After the callback that asked: the library may be in the middle
        // of the change it reported.
        stack_.postToCore([this](const SipCoreThread::CorePtr& /*core*/) {
            reconcileScheduled_ = false;
            guarded([this] { reconcile(); });
        });
    } catch (const SipError&) {
        // The Core is going down: its shutdown releases every recording.
        reconcileScheduled_ = false;
    }
}

void SipRecordingSources::reconcile()
{
    for (std::size_t i = 0; i < bindings_.size();) {
        Binding& binding = bindings_[i];
        std::string reason;
        bool ended = false;
        Source* const wanted = sourceFor(binding.call, reason, ended);
        if (wanted != nullptr && wanted == binding.source) {
            resume(*wanted);
            ++i;
            continue;
        }
        if (binding.source != nullptr) {
            leave(*binding.source, *binding.sink);
            binding.source = nullptr;
        }
        if (ended) {
            logInfo("Call recording ended with the call");
            const std::shared_ptr<ISink> sink = binding.sink;
            bindings_.erase(bindings_.begin() + static_cast<std::ptrdiff_t>(i));
            sink->ended();
            continue;
        }
        if (wanted != nullptr) {
            cut(*wanted);
            wanted->sinks.push_back(binding.sink);
            binding.source = wanted;
            resume(*wanted);
        }
        ++i;
    }
    dropIdleSources();
}

}  // namespace Tarvent::VirtualChannel
