#pragma once

namespace Tarvent::VirtualChannel {

// Receives the records of a WorkerQueue, one at a time, on the queue's thread.
template <typename T>
class IWorkerQueueConsumer {
public:
    virtual ~IWorkerQueueConsumer() = default;
    virtual void consume(T& record) = 0;
};

}  // namespace Tarvent::VirtualChannel
