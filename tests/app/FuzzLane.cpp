#include "app/FuzzLane.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "app/KnownIds.h"
#include "support/ChannelTestClient.h"
#include "transport/VCPacketHolder.h"

namespace Tarvent::VirtualChannel::TestSupport {

namespace {

constexpr std::uint8_t kCommand = 0;
constexpr std::uint8_t kAnswer = 1;
constexpr std::uint8_t kNotification = 2;
// Queries carry ids of their own range, apart from the fuzzed ones.
constexpr std::uint64_t kQueryIdBase = 0x5154000000000000ULL;
// Written ahead of the engine at most; the rest waits for room.
constexpr std::size_t kMaxQueued = 64 * 1024;
constexpr std::chrono::milliseconds kPollInterval{100};

}  // namespace

FuzzLane::FuzzLane(Options options, KnownIds& ids)
    : options_(std::move(options)),
      ids_(ids),
      fuzzer_(options_.seed, ids, options_.soundFiles),
      sweep_(MessageFuzzer::caseNumbers())
{
}

std::string FuzzLane::statusQuery()
{
    Proto::CitrixMessage query;
    query.mutable_sipstackstatusquery();
    return query.SerializeAsString();
}

bool FuzzLane::connect()
{
    socket_ = Socket::connectLoopback(options_.port);
    if (!socket_.valid()) {
        fail("could not connect: errno=" + std::to_string(Socket::lastError()));
        return false;
    }
    return true;
}

void FuzzLane::fail(const std::string& why)
{
    if (result_.failure.empty()) {
        result_.failure = "lane " + std::to_string(options_.number) + ": " + why;
    }
}

void FuzzLane::queuePacket(std::uint8_t type, std::uint64_t messageId, const std::string& payload, std::uint8_t code)
{
    const std::vector<unsigned char> bytes = ChannelTestClient::encode(type, messageId, payload, code);
    out_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    ++result_.packets;
}

std::uint64_t FuzzLane::commandId()
{
    FuzzRandom& random = fuzzer_.random();
    // Mostly counted, at times the ids a careless client might use; the log
    // transfer answers late by the id, and ids past 2^31 once came back changed.
    std::uint64_t id = (static_cast<std::uint64_t>(options_.number + 1) << 40) | nextId_++;
    if (random.chance(0.03)) {
        id = random.pick(std::vector<std::uint64_t>{0, 1, 0x7fffffffULL, 0x80000000ULL, 0xffffffffULL,
                                                    0x100000000ULL, ~0ULL, random.bits() & ~kQueryIdBase});
    }
    commandIds_.insert(id);
    return id;
}

void FuzzLane::queueFuzzed()
{
    FuzzRandom& random = fuzzer_.random();
    ++fuzzed_;
    ++sinceQuery_;
    const std::vector<int>& sweep = sweep_;
    if (options_.everyCaseFirst && fuzzed_ <= static_cast<long>(sweep.size())) {
        const int caseNumber = sweep[static_cast<std::size_t>(fuzzed_ - 1)];
        ++result_.cases[caseNumber];
        queuePacket(kCommand, commandId(), fuzzer_.payloadOf(caseNumber, kMaxPayloadSize));
        return;
    }
    const double kind = random.unit();
    if (kind < 0.90) {
        int caseNumber = 0;
        const std::string payload = fuzzer_.payload(kMaxPayloadSize, caseNumber);
        ++result_.cases[caseNumber];
        queuePacket(kCommand, commandId(), payload);
    } else if (kind < 0.95) {
        // An answer to nothing the engine asked.
        const std::string payload = random.chance(0.5) ? fuzzer_.message().SerializeAsString() : random.bytes(64);
        queuePacket(kAnswer, random.chance(0.5) ? random.bits() : random.below(64), payload.substr(0, kMaxPayloadSize));
    } else if (kind < 0.98) {
        queuePacket(kNotification, random.bits(), random.text(200), static_cast<std::uint8_t>(random.bits()));
    } else {
        const auto type = static_cast<std::uint8_t>(random.between(3, 255));
        queuePacket(type, commandId(), random.bytes(128), static_cast<std::uint8_t>(random.bits()));
    }
}

void FuzzLane::queueQuery()
{
    const std::uint64_t id = kQueryIdBase | (static_cast<std::uint64_t>(options_.number) << 32) | nextQuery_++;
    queuePacket(kCommand, id, statusQuery());
    queries_.emplace_back(id, std::chrono::steady_clock::now());
    sinceQuery_ = 0;
}

void FuzzLane::answerEngineCommand(std::uint64_t messageId)
{
    FuzzRandom& random = fuzzer_.random();
    const double kind = random.unit();
    if (kind < 0.1) {
        return;  // the engine's own time-out applies
    }
    Proto::CitrixMessage ack;
    ack.mutable_ack()->set_statuscode(Proto::Ack::SUCCESS);
    const std::string payload = random.chance(0.8) ? ack.SerializeAsString() : random.bytes(32);
    queuePacket(kAnswer, kind < 0.9 ? messageId : random.bits(), payload);
    if (kind > 0.95) {
        queuePacket(kAnswer, messageId, payload);
    }
}

bool FuzzLane::handle(std::uint8_t type, std::uint64_t messageId, const std::string& payload)
{
    Proto::CitrixMessage message;
    const bool parsed = message.ParseFromString(payload);
    if (type == kCommand) {
        ++result_.engineCommands;
        if (!parsed) {
            fail("the engine sent a command that does not parse: messageId=" + std::to_string(messageId));
            return false;
        }
        MessageFuzzer::learn(message, ids_);
        answerEngineCommand(messageId);
        return true;
    }
    if (type != kAnswer) {
        fail("the engine sent a packet of type " + std::to_string(type));
        return false;
    }
    if (!parsed || message.inner_case() == Proto::CitrixMessage::INNER_NOT_SET) {
        fail("an answer does not parse: messageId=" + std::to_string(messageId) + "; size=" +
             std::to_string(payload.size()));
        return false;
    }
    MessageFuzzer::learn(message, ids_);
    if (!queries_.empty() && messageId == queries_.front().first) {
        if (!message.has_sipstackstatusanswer() ||
            message.sipstackstatusanswer().ack().statuscode() != Proto::Ack::SUCCESS) {
            fail("a status query was answered with " + message.ShortDebugString());
            return false;
        }
        queries_.pop_front();
        return true;
    }
    // A late answer goes to the connection that was active when no route
    // to its asker was left: the log archive's, only.
    if (commandIds_.count(messageId) == 0 && !message.has_appstartlogtransferanswer()) {
        fail("an answer to a command never sent here: messageId=" + std::to_string(messageId) + "; " +
             message.ShortDebugString());
        return false;
    }
    ++result_.answers;
    return true;
}

bool FuzzLane::flush()
{
    while (outSent_ < out_.size()) {
        const ssize_t sent = ::send(socket_.fd(), out_.data() + outSent_, out_.size() - outSent_,
                                    MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                break;
            }
            fail("write failed: errno=" + std::to_string(errno) + " (" + std::strerror(errno) + ")");
            return false;
        }
        outSent_ += static_cast<std::size_t>(sent);
    }
    if (outSent_ == out_.size()) {
        out_.clear();
        outSent_ = 0;
    }
    return true;
}

bool FuzzLane::receive()
{
    unsigned char buffer[16384];
    const ssize_t received = ::recv(socket_.fd(), buffer, sizeof(buffer), MSG_DONTWAIT);
    if (received == 0) {
        fail("the engine closed the connection");
        return false;
    }
    if (received < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            return true;
        }
        fail("read failed: errno=" + std::to_string(errno) + " (" + std::strerror(errno) + ")");
        return false;
    }
    in_.insert(in_.end(), buffer, buffer + received);
    std::size_t at = 0;
    while (in_.size() - at >= kPacketHeaderSize) {
        VCPacketHolder header;
        VCPacketHolder::readHeader(in_.data() + at, header);
        if (header.length < kPacketHeaderSize || header.length > kMaxPacketSize) {
            fail("the engine sent a packet of length " + std::to_string(header.length));
            return false;
        }
        if (in_.size() - at < header.length) {
            break;
        }
        const std::string payload(reinterpret_cast<const char*>(in_.data() + at + kPacketHeaderSize),
                                  header.length - kPacketHeaderSize);
        at += header.length;
        if (!handle(header.type, header.messageId, payload)) {
            return false;
        }
    }
    in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(at));
    return true;
}

void FuzzLane::run(const std::atomic<bool>* stop)
{
    if (!socket_.valid()) {
        fail("not connected");
        return;
    }
    bool lastQueued = false;
    for (;;) {
        while (out_.size() < kMaxQueued && !lastQueued &&
               static_cast<int>(queries_.size()) < options_.queriesInFlight) {
            if (fuzzed_ >= options_.packets || (stop != nullptr && *stop)) {
                queueQuery();  // the last: its answer means all before it were handled
                lastQueued = true;
            } else if (sinceQuery_ >= options_.queryEvery) {
                queueQuery();
            } else {
                queueFuzzed();
            }
        }
        if (lastQueued && queries_.empty() && out_.empty()) {
            return;
        }
        if (!queries_.empty() && std::chrono::steady_clock::now() - queries_.front().second > options_.answerTimeout) {
            fail("no answer to a status query within " + std::to_string(options_.answerTimeout.count()) +
                 " ms: messageId=" + std::to_string(queries_.front().first));
            return;
        }
        pollfd entry{socket_.fd(), static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(kPollInterval.count()));
        if (ready < 0 && errno != EINTR) {
            fail("poll failed: errno=" + std::to_string(errno));
            return;
        }
        if (ready <= 0) {
            continue;
        }
        if ((entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !receive()) {
            return;
        }
        if ((entry.revents & POLLOUT) != 0 && !flush()) {
            return;
        }
    }
}

void FuzzLane::close()
{
    if (fuzzer_.random().chance(0.3)) {
        socket_.setLingerZero();
    }
    socket_.close();
}

}  // namespace Tarvent::VirtualChannel::TestSupport
