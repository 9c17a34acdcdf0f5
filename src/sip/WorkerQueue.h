#pragma once

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "logging/Logger.h"
#include "sip/IWorkerQueueConsumer.h"

namespace Tarvent::VirtualChannel {

// Hands records to one consumer, in push order, on a thread of its own.
// Threads: `push` from any thread; `consume` runs only on the queue's thread,
// with no lock of the queue held. The destructor stops the thread; it may run
// on the queue's own thread (when `consume` drops the last reference to the
// owner), in which case the thread is detached and ends without touching the
// consumer again.
// Lock order: the queue's mutex is a leaf taken inside the owner's locks; it is
// never held while calling out.
template <typename T>
class WorkerQueue {
public:
    // `consumer` must outlive the queue (it is the queue's owner). Throws
    // std::system_error when the thread cannot be started.
    explicit WorkerQueue(IWorkerQueueConsumer<T>* consumer)
        : state_(std::make_shared<State>())
    {
        state_->consumer = consumer;
        thread_ = std::thread(&WorkerQueue::run, state_);
    }

    ~WorkerQueue() { stop(); }

    WorkerQueue(const WorkerQueue&) = delete;
    WorkerQueue& operator=(const WorkerQueue&) = delete;

    void push(T record)
    {
        const std::lock_guard<std::mutex> lock(state_->mutex);
        state_->records.push_back(std::move(record));
        state_->condition.notify_all();
    }

private:
    // Shared with the thread so that a queue destroyed from its own thread
    // leaves the worker something valid to return to.
    struct State {
        IWorkerQueueConsumer<T>* consumer = nullptr;
        std::mutex mutex;                   // guards records, running
        std::condition_variable condition;  // signalled on every push and on stop
        std::vector<T> records;
        bool running = true;
        bool orphaned = false;  // written and read only by the worker thread
    };

    void stop()
    {
        {
            const std::lock_guard<std::mutex> lock(state_->mutex);
            state_->running = false;
            state_->condition.notify_all();
        }
        if (!thread_.joinable()) {
            return;
        }
        if (thread_.get_id() == std::this_thread::get_id()) {
            // A thread cannot join itself; the consumer is going away now.
            state_->orphaned = true;
            thread_.detach();
        } else {
            thread_.join();
        }
    }

    static void run(std::shared_ptr<State> state)
    {
        // The batch of one round is destroyed at the end of the round, which
        // may drop the last reference to the owner (and orphan the queue).
        while (!state->orphaned) {
            std::vector<T> batch;
            {
                std::unique_lock<std::mutex> lock(state->mutex);
                if (!state->running) {
                    return;  // records pushed during the last batch are not taken
                }
                state->condition.wait(lock, [&] { return !state->running || !state->records.empty(); });
                batch.swap(state->records);
            }
            for (T& record : batch) {
                consumeOne(*state, record);
                if (state->orphaned) {
                    return;
                }
            }
        }
    }

    // No exception may end the thread: there is nobody to pass it to.
    static void consumeOne(State& state, T& record)
    {
        try {
            state.consumer->consume(record);
        } catch (const std::exception& e) {
            logError("WorkerQueue: consume failed; what=%s", e.what());
        } catch (...) {
            logError("WorkerQueue: consume failed with an unknown error");
        }
    }

    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace Tarvent::VirtualChannel
