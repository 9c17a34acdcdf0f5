#include "sip/SipCoreThread.h"

#include <algorithm>

#include <belle-sip/belle-sip.h>
#include <linphone++/linphone.hh>
#include <linphone/core.h>

#include "logging/Logger.h"
#include "sip/SipError.h"

// The Core keeps its SIP stack to itself; these two accessors of the library
// (exported, without a public header) lead to the stack's main loop.
extern "C" void* linphone_core_get_sal(const LinphoneCore* core);
extern "C" void* sal_get_stack_impl(void* sal);

namespace Tarvent::VirtualChannel {

namespace {

belle_sip_main_loop_t* mainLoopOf(linphone::Core& core)
{
    void* const sal = linphone_core_get_sal(core.cPtr());
    auto* const stack = sal == nullptr ? nullptr : static_cast<belle_sip_stack_t*>(sal_get_stack_impl(sal));
    return stack == nullptr ? nullptr : belle_sip_stack_get_main_loop(stack);
}

}  // namespace

void SipCoreThread::CallbacksDeleter::operator()(_LinphoneCoreCbs* callbacks) const
{
    linphone_core_cbs_unref(callbacks);
}

// Raised on the core thread by the Core. Registered through the C interface
// on purpose: the object they name may be gone by the time a later listener
// hears of it (a listener before may have let go of an account or a call),
// and these never look at it.
void SipCoreThread::onSignallingChanged(LinphoneCore* core)
{
    LinphoneCoreCbs* const callbacks = linphone_core_get_current_callbacks(core);
    auto* const self = static_cast<SipCoreThread*>(linphone_core_cbs_get_user_data(callbacks));
    self->signallingChanged_ = true;
    self->endWait();
}

void SipCoreThread::onConferenceDeleted(LinphoneCore* core, LinphoneConference* conference)
{
    LinphoneCoreCbs* const callbacks = linphone_core_get_current_callbacks(core);
    auto* const self = static_cast<SipCoreThread*>(linphone_core_cbs_get_user_data(callbacks));
    std::vector<LinphoneConference*>& releasing = self->releasingConferences_;
    if (std::find(releasing.begin(), releasing.end(), conference) != releasing.end()) {
        return;
    }
    belle_sip_object_weak_ref(conference, &SipCoreThread::onConferenceReleased, self);
    releasing.push_back(conference);
}

void SipCoreThread::onConferenceReleased(void* self, belle_sip_object_t* conference)
{
    std::vector<LinphoneConference*>& releasing = static_cast<SipCoreThread*>(self)->releasingConferences_;
    releasing.erase(std::remove(releasing.begin(), releasing.end(), reinterpret_cast<LinphoneConference*>(conference)),
                    releasing.end());
}

SipCoreThread::SipCoreThread(const CoreFactory& factory)
{
    std::promise<void> created;
    std::future<void> done = created.get_future();
    thread_ = std::thread([this, &factory, &created]() { main(factory, created); });
    try {
        done.get();
    } catch (...) {
        thread_.join();
        throw;
    }
}

SipCoreThread::~SipCoreThread()
{
    if (thread_.joinable() && !isCoreThread()) {
        shutdown();
    }
}

void SipCoreThread::shutdown()
{
    if (!thread_.joinable()) {
        return;
    }
    if (isCoreThread()) {
        OVRA_THROW_SIP_ERROR(-1, "SipCoreThread::shutdown", "The core thread can't shut itself down");
    }
    // Queued behind every task accepted so far.
    enqueue([this]() { finish(); }, true);
    thread_.join();
}

void SipCoreThread::post(std::function<void()> task)
{
    enqueue(std::move(task), false);
}

void SipCoreThread::postLater(std::function<void(const CorePtr&)> operation)
{
    post([this, operation = std::move(operation)] { operation(core_); });
}

void SipCoreThread::enqueue(std::function<void()> task, bool last)
{
    const std::lock_guard<std::mutex> lock(queueMutex_);
    if (!accepting_) {
        if (last) {
            return;  // a shutdown already queued the final task
        }
        OVRA_THROW_SIP_ERROR(-1, "SipCoreThread::run", "SIP stack is not running");
    }
    accepting_ = !last;
    tasks_.push_back(std::move(task));
    queueChanged_.notify_one();
    // One wake-up per wait: the thread looks at the queue before it waits again.
    if (!asleep_) {
        return;
    }
    asleep_ = false;
    wakePending_ = true;
    // Thread-safe, woken through the main loop's control pipe. Queued under
    // the lock, so that the final task sees every wake-up still pending.
    belle_sip_main_loop_do_later(
        mainLoop_,
        [](void* owner) {
            auto* const self = static_cast<SipCoreThread*>(owner);
            {
                const std::lock_guard<std::mutex> queued(self->queueMutex_);
                self->wakePending_ = false;
            }
            self->endWait();
        },
        this);
}

void SipCoreThread::waitInMainLoop(std::chrono::steady_clock::duration period)
{
    using std::chrono::milliseconds;
    // Rounded up: waking a little before the deadline would only wait again.
    const auto ms = std::chrono::ceil<milliseconds>(period).count();
    waiting_ = true;
    belle_sip_main_loop_sleep(mainLoop_, static_cast<int>(ms));
    waiting_ = false;
}

void SipCoreThread::endWait()
{
    // Only our own wait: a wake-up that arrives during iterate() (which runs
    // the main loop for one round) must not cut short anything else.
    if (waiting_) {
        belle_sip_main_loop_quit(mainLoop_);
    }
}

void SipCoreThread::awaitConferenceRelease()
{
    constexpr int kStepMs = 10;
    const auto deadline = std::chrono::steady_clock::now() + kConferenceReleaseWait;
    while (!releasingConferences_.empty() && std::chrono::steady_clock::now() < deadline) {
        belle_sip_main_loop_sleep(mainLoop_, kStepMs);
    }
    if (releasingConferences_.empty()) {
        return;
    }
    logWarning("Stopping SIP stack before its conference was released: conferences=%zu",
               releasingConferences_.size());
    forgetReleasingConferences();
}

void SipCoreThread::forgetReleasingConferences()
{
    // Whoever releases them later must not call back into this object.
    for (LinphoneConference* const conference : releasingConferences_) {
        belle_sip_object_weak_unref(conference, &SipCoreThread::onConferenceReleased, this);
    }
    releasingConferences_.clear();
}

void SipCoreThread::finish()
{
    bool wakePending = false;
    {
        const std::lock_guard<std::mutex> lock(queueMutex_);
        wakePending = wakePending_;
    }
    if (wakePending) {
        // A wake-up still queued in the main loop would outlive it; one round consumes it.
        belle_sip_main_loop_sleep(mainLoop_, 0);
    }
    awaitConferenceRelease();
    core_->stop();
    linphone_core_remove_callbacks(core_->cPtr(), callbacks_.get());
    core_.reset();
    // One the stop itself ended is not waited for: its task would need the main loop.
    forgetReleasingConferences();
    finished_ = true;
}

std::chrono::milliseconds SipCoreThread::pace() const
{
    using State = linphone::Call::State;
    for (const auto& account : core_->getAccountList()) {
        if (account->getState() == linphone::RegistrationState::Progress) {
            return kBusyPeriod;
        }
    }
    bool anyCall = false;
    for (const auto& call : core_->getCalls()) {
        anyCall = true;
        const State state = call->getState();
        if (state != State::StreamsRunning && state != State::Paused && state != State::PausedByRemote) {
            return kBusyPeriod;
        }
    }
    return anyCall ? kCallPeriod : kIdlePeriod;
}

void SipCoreThread::main(const CoreFactory& factory, std::promise<void>& created)
{
    coreThreadId_.store(std::this_thread::get_id());
    try {
        core_ = factory();
        if (!core_) {
            OVRA_THROW_SIP_ERROR(-1, "SipCoreThread", "No linphone Core was created");
        }
        mainLoop_ = mainLoopOf(*core_);
        if (mainLoop_ == nullptr) {
            OVRA_THROW_SIP_ERROR(-1, "SipCoreThread", "The linphone Core has no SIP main loop");
        }
        // Ends the wait when a call or an account's registration changes: the
        // pace may change with it, and the Core's follow-up work runs now.
        callbacks_.reset(linphone_factory_create_core_cbs(linphone_factory_get()));
        linphone_core_cbs_set_user_data(callbacks_.get(), this);
        linphone_core_cbs_set_call_state_changed(
            callbacks_.get(), [](LinphoneCore* core, LinphoneCall*, LinphoneCallState, const char*) {
                onSignallingChanged(core);
            });
        linphone_core_cbs_set_account_registration_state_changed(
            callbacks_.get(), [](LinphoneCore* core, LinphoneAccount*, LinphoneRegistrationState, const char*) {
                onSignallingChanged(core);
            });
        linphone_core_cbs_set_conference_state_changed(
            callbacks_.get(), [](LinphoneCore* core, LinphoneConference* conference, LinphoneConferenceState state) {
                if (state == LinphoneConferenceStateDeleted || state == LinphoneConferenceStateCreationFailed) {
                    onConferenceDeleted(core, conference);
                }
            });
        linphone_core_add_callbacks(core_->cPtr(), callbacks_.get());
    } catch (...) {
        if (core_) {
            core_->stop();
        }
        core_.reset();
        coreThreadId_.store(std::thread::id());
        created.set_exception(std::current_exception());
        return;
    }
    created.set_value();

    using Clock = std::chrono::steady_clock;
    Clock::time_point nextIterate = Clock::now();
    Clock::time_point activeUntil = nextIterate + kActivityWindow;
    bool inMainLoop = true;
    std::deque<std::function<void()>> batch;
    while (!finished_) {
        const Clock::time_point before = Clock::now();
        if (inMainLoop) {
            bool wait = false;
            {
                const std::lock_guard<std::mutex> lock(queueMutex_);
                wait = tasks_.empty() && !signallingChanged_ && before < nextIterate;
                asleep_ = wait;
            }
            if (wait) {
                waitInMainLoop(nextIterate - before);
                const std::lock_guard<std::mutex> lock(queueMutex_);
                asleep_ = false;
            }
        }
        {
            std::unique_lock<std::mutex> lock(queueMutex_);
            if (!inMainLoop) {
                queueChanged_.wait_until(lock, nextIterate, [this]() { return !tasks_.empty(); });
            }
            batch.swap(tasks_);
        }
        const bool ranTasks = !batch.empty();
        for (auto& task : batch) {
            // run() hands exceptions back through its future; nothing else is posted.
            task();
            if (finished_) {
                break;
            }
        }
        batch.clear();
        if (finished_) {
            break;
        }
        const Clock::time_point now = Clock::now();
        if (ranTasks) {
            activeUntil = now + kActivityWindow;
        }
        if (ranTasks || signallingChanged_ || now >= nextIterate) {
            signallingChanged_ = false;
            core_->iterate();
            const std::chrono::milliseconds period = now < activeUntil ? kBusyPeriod : pace();
            nextIterate = Clock::now() + period;
            // Established calls: the stack's own timers (some tick every few
            // milliseconds in a call) wait for iterate() as well, instead of
            // waking the thread each on its own.
            inMainLoop = period != kCallPeriod;
        }
    }
    coreThreadId_.store(std::thread::id());
}

}  // namespace Tarvent::VirtualChannel
