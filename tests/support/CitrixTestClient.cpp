#include "support/CitrixTestClient.h"

#include <algorithm>

namespace Tarvent::VirtualChannel::TestSupport {

namespace {

constexpr std::uint8_t kCommand = 0;
constexpr std::uint8_t kAnswer = 1;

}  // namespace

CitrixTestClient::CitrixTestClient(int port) : channel_(port) {}

std::optional<CitrixTestClient::Message> CitrixTestClient::request(const Message& message,
                                                                   std::chrono::milliseconds timeout)
{
    return request(message, nextId(), timeout);
}

std::optional<CitrixTestClient::Message> CitrixTestClient::request(const Message& message, std::uint64_t messageId,
                                                                   std::chrono::milliseconds timeout)
{
    if (!channel_.sendPacket(kCommand, messageId, message.SerializeAsString())) {
        return std::nullopt;
    }
    return answerTo(messageId, timeout);
}

std::optional<CitrixTestClient::Message> CitrixTestClient::answerTo(std::uint64_t messageId,
                                                                    std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (auto it = answers_.begin(); it != answers_.end(); ++it) {
            if (it->first == messageId) {
                Message found = std::move(it->second);
                answers_.erase(it);
                return found;
            }
        }
        if (!readOne(deadline)) {
            timedOut("the answer to message " + std::to_string(messageId), timeout);
            return std::nullopt;
        }
    }
}

void CitrixTestClient::timedOut(const std::string& awaited, std::chrono::milliseconds timeout)
{
    if (timeoutObserver_) {
        timeoutObserver_(awaited + " (waited " + std::to_string(timeout.count()) + " ms)");
    }
}

std::optional<CitrixTestClient::Message> CitrixTestClient::notification(const Predicate& matches,
                                                                        std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t checked = 0;
    for (;;) {
        for (; checked < kept_.size(); ++checked) {
            if (matches(kept_[checked])) {
                Message found = std::move(kept_[checked]);
                kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(checked));
                return found;
            }
        }
        if (!readOne(deadline)) {
            timedOut("a notification", timeout);
            return std::nullopt;
        }
    }
}

void CitrixTestClient::discardKept(const Predicate& matches)
{
    kept_.erase(std::remove_if(kept_.begin(), kept_.end(), matches), kept_.end());
}

bool CitrixTestClient::readOne(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return false;
    }
    const auto packet = channel_.readPacket(left);
    if (!packet) {
        return false;
    }
    Message message;
    message.ParseFromString(ChannelTestClient::payloadOf(*packet));
    if (packet->type == kAnswer) {
        answers_.emplace_back(packet->messageId, std::move(message));
        return true;
    }
    if (answerNotifications_) {
        Message ack;
        ack.mutable_ack()->set_statuscode(Proto::Ack::SUCCESS);
        channel_.sendPacket(kAnswer, packet->messageId, ack.SerializeAsString());
    }
    kept_.push_back(std::move(message));
    return true;
}

Proto::Ack CitrixTestClient::ackOf(const Message& answer)
{
    switch (answer.inner_case()) {
    case Message::kAck:
        return answer.ack();
    case Message::kObjectIdResponse:
        return answer.objectidresponse().ack();
    case Message::kSipStackStatusAnswer:
        return answer.sipstackstatusanswer().ack();
    case Message::kCreateAccountAnswer:
        return answer.createaccountanswer().objectidresponse().ack();
    case Message::kAudioDeviceManagerCreateAnswer:
        return answer.audiodevicemanagercreateanswer().ack();
    case Message::kAppStartAnswer:
        return answer.appstartanswer().ack();
    case Message::kAppStartLogTransferAnswer:
        return answer.appstartlogtransferanswer().ack();
    case Message::kAppTransferLogPartAnswer:
        return answer.apptransferlogpartanswer().ack();
    default:
        break;
    }
    Proto::Ack unknown;
    unknown.set_statuscode(Proto::Ack::FAILED);
    unknown.set_statusmessage("answer without a status: " + answer.ShortDebugString());
    return unknown;
}

}  // namespace Tarvent::VirtualChannel::TestSupport
