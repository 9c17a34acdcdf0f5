#include "sip/SipCoreThread.h"

#include <linphone++/linphone.hh>

#include "logging/Logger.h"
#include "sip/SipError.h"

namespace Tarvent::VirtualChannel {

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
    {
        const std::lock_guard<std::mutex> lock(queueMutex_);
        accepting_ = false;
        // Queued behind every task accepted so far.
        tasks_.emplace_back([this]() {
            core_->stop();
            core_.reset();
            finished_ = true;
        });
    }
    queueChanged_.notify_one();
    thread_.join();
}

void SipCoreThread::post(std::function<void()> task)
{
    {
        const std::lock_guard<std::mutex> lock(queueMutex_);
        if (!accepting_) {
            OVRA_THROW_SIP_ERROR(-1, "SipCoreThread::run", "SIP stack is not running");
        }
        tasks_.push_back(std::move(task));
    }
    queueChanged_.notify_one();
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
    } catch (...) {
        core_.reset();
        coreThreadId_.store(std::thread::id());
        created.set_exception(std::current_exception());
        return;
    }
    created.set_value();

    using Clock = std::chrono::steady_clock;
    Clock::time_point nextIterate = Clock::now();
    Clock::time_point activeUntil = nextIterate + kActivityWindow;
    std::deque<std::function<void()>> batch;
    while (!finished_) {
        {
            std::unique_lock<std::mutex> lock(queueMutex_);
            queueChanged_.wait_until(lock, nextIterate, [this]() { return !tasks_.empty(); });
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
        if (ranTasks || now >= nextIterate) {
            core_->iterate();
            nextIterate = Clock::now() + (now < activeUntil ? kBusyPeriod : pace());
        }
    }
    coreThreadId_.store(std::thread::id());
}

}  // namespace Tarvent::VirtualChannel
