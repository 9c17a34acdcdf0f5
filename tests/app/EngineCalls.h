#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/EngineTestSupport.h"

namespace Tarvent::VirtualChannel::TestSupport {

// The calls of one account of a RunningEngine, driven over the channel as
// the softphone drives them; each step waits for the answer and the
// notifications it must bring. `engine` must outlive this object (its client
// may be replaced meanwhile). Test thread only.
class EngineCalls {
public:
    using Predicate = std::function<bool(const Message&)>;
    static constexpr std::chrono::milliseconds kWait{15000};

    EngineCalls(RunningEngine& engine, int accountId) : engine_(engine), accountId_(accountId) {}

    int accountId() const { return accountId_; }

    // The next notification of the kind `has` tells that also matches `also`.
    std::optional<Message> notification(bool (Message::*has)() const, const Predicate& also = nullptr,
                                        std::chrono::milliseconds timeout = kWait);
    // The call id a call notification carries, if it is one.
    static std::optional<int> callIdOf(const Message& message);

    // Creates a call to `number` and dials it; its id, or -1 when refused.
    int dial(const std::string& number);
    // Dials and waits for the call's confirmation and active audio; -1 when one didn't come.
    int confirmedCall(const std::string& number);
    bool confirmed(int callId, std::chrono::milliseconds timeout = kWait);
    bool mediaActive(int callId, std::chrono::milliseconds timeout = kWait);
    // Answers a ringing call and waits for its confirmation.
    bool answer(int callId);
    // Asks for the hold state and waits for its report.
    bool hold(int callId, bool hold, bool autoHoldOthers = false);
    bool holdReported(int callId, bool isHold, std::chrono::milliseconds timeout = kWait);
    bool sendDtmf(int callId, const std::string& digit);
    // Hangs up and waits for the termination report.
    bool hangUp(int callId);
    std::optional<Message> terminated(int callId, std::chrono::milliseconds timeout = kWait);
    // Whether the call's end is reported during the next `span` (the engine
    // is asked for its status meanwhile, so a wait that ends without one
    // takes no thread dump).
    bool endsWithin(int callId, std::chrono::milliseconds span);

    // The packets the call sent and received during the next `span`.
    struct Traffic {
        std::int64_t sent = 0;
        std::int64_t received = 0;
    };
    Traffic traffic(int callId, std::chrono::milliseconds span);

    // Whether the engine still runs and answers a status query.
    bool alive();
    // Forgets the notifications of `callId` kept so far.
    void forget(int callId);

    Proto::Ack ack(const Message& message) { return engine_.ack(message); }

private:
    RunningEngine& engine_;
    const int accountId_;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
