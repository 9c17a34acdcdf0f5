#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "proto/citrixMessage.pb.h"
#include "support/ChannelTestClient.h"

namespace Tarvent::VirtualChannel::TestSupport {

// The softphone's side of the channel in messages: sends commands, waits for
// their answers, and answers every notification the engine sends as the
// driver does (keeping it for the test). One thread at a time.
class CitrixTestClient {
public:
    using Message = Proto::CitrixMessage;
    using Predicate = std::function<bool(const Message&)>;

    explicit CitrixTestClient(int port);

    bool connected() const { return channel_.connected(); }
    ChannelTestClient& channel() { return channel_; }

    // The next free message id (ids only grow).
    std::uint64_t nextId() { return nextId_++; }

    // Sends `message` as a command and returns its answer, or nothing when
    // none arrived within `timeout`. Notifications meanwhile are kept.
    std::optional<Message> request(const Message& message, std::chrono::milliseconds timeout = std::chrono::seconds(15));
    // The same with the request's id chosen by the caller.
    std::optional<Message> request(const Message& message, std::uint64_t messageId,
                                   std::chrono::milliseconds timeout);
    // Waits for the answer to an earlier command `messageId`.
    std::optional<Message> answerTo(std::uint64_t messageId, std::chrono::milliseconds timeout);

    // The first kept or arriving notification that `matches` (removed from
    // the kept ones), or nothing within `timeout`.
    std::optional<Message> notification(const Predicate& matches,
                                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Every notification kept so far.
    const std::deque<Message>& kept() const { return kept_; }
    // Forgets the kept notifications that `matches` (a long run's leftovers).
    void discardKept(const Predicate& matches);
    // Whether notifications read from now on are answered (they are by default).
    void setAnswerNotifications(bool answer) { answerNotifications_ = answer; }

    // Told (with what was awaited) whenever a wait for an answer or a
    // notification ends without it, e.g. to take the engine's thread stacks.
    void setTimeoutObserver(std::function<void(const std::string& awaited)> observer)
    {
        timeoutObserver_ = std::move(observer);
    }

    // The status of any answer: its Ack, wherever the answer's type keeps it.
    static Proto::Ack ackOf(const Message& answer);

private:
    // Reads one packet and keeps it: an answer for answerTo, a notification
    // (answered at once) for notification. False when nothing arrived in time.
    bool readOne(std::chrono::steady_clock::time_point deadline);

    void timedOut(const std::string& awaited, std::chrono::milliseconds timeout);

    ChannelTestClient channel_;
    std::function<void(const std::string&)> timeoutObserver_;
    std::uint64_t nextId_ = 1;
    bool answerNotifications_ = true;
    std::deque<Message> kept_;
    std::deque<std::pair<std::uint64_t, Message>> answers_;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
