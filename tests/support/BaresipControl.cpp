#include "support/BaresipControl.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <thread>

namespace Tarvent::VirtualChannel::TestSupport {

namespace {

using Clock = std::chrono::steady_clock;

std::string stringField(const nlohmann::json& object, const char* name)
{
    const auto it = object.find(name);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool boolField(const nlohmann::json& object, const char* name)
{
    const auto it = object.find(name);
    return it != object.end() && it->is_boolean() && it->get<bool>();
}

std::chrono::milliseconds leftUntil(Clock::time_point deadline)
{
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
}

}  // namespace

BaresipControl::BaresipControl(std::uint16_t port, std::chrono::milliseconds timeout)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
            return;
        }
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
        if (Clock::now() > deadline) {
            throw std::runtime_error("baresip control port " + std::to_string(port) + " does not answer");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

BaresipControl::~BaresipControl()
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::string BaresipControl::command(const std::string& name, const std::string& params,
                                    std::chrono::milliseconds timeout)
{
    const std::string token = std::to_string(nextToken_++);
    const std::string body = nlohmann::json{{"command", name}, {"params", params}, {"token", token}}.dump();
    const std::string frame = std::to_string(body.size()) + ":" + body + ",";
    if (::send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) {
        throw std::runtime_error("baresip control: send failed for " + name);
    }
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        for (auto it = responses_.begin(); it != responses_.end(); ++it) {
            if (it->token == token) {
                const Response response = *it;
                responses_.erase(it);
                if (!response.ok) {
                    throw std::runtime_error("baresip refused " + name + " " + params + ": " + response.data);
                }
                return response.data;
            }
        }
        if (!readSome(leftUntil(deadline))) {
            throw std::runtime_error("baresip did not answer " + name);
        }
    }
}

std::optional<BaresipEvent> BaresipControl::waitForEvent(const std::string& type, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        for (std::size_t i = 0; i < events_.size(); ++i) {
            if (!taken_[i] && events_[i].type == type) {
                taken_[i] = true;
                return events_[i];
            }
        }
        if (!readSome(leftUntil(deadline))) {
            return std::nullopt;
        }
    }
}

std::vector<BaresipEvent> BaresipControl::events() const
{
    return events_;
}

bool BaresipControl::readSome(std::chrono::milliseconds timeout)
{
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) {
        return false;
    }
    char chunk[8192];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) {
        throw std::runtime_error("baresip control connection closed");
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
    parseFrames();
    return true;
}

void BaresipControl::parseFrames()
{
    for (;;) {
        const std::size_t colon = buffer_.find(':');
        if (colon == std::string::npos || colon > 10) {
            if (buffer_.size() > 10 && colon == std::string::npos) {
                throw std::runtime_error("baresip control: bad frame");
            }
            return;
        }
        const std::size_t length = std::stoul(buffer_.substr(0, colon));
        if (buffer_.size() < colon + 1 + length + 1) {
            return;
        }
        const std::string body = buffer_.substr(colon + 1, length);
        buffer_.erase(0, colon + 1 + length + 1);  // with the closing ','

        const auto json = nlohmann::json::parse(body, nullptr, false);
        if (json.is_discarded() || !json.is_object()) {
            continue;
        }
        if (boolField(json, "event")) {
            events_.push_back(BaresipEvent{stringField(json, "type"), stringField(json, "direction"),
                                           stringField(json, "peeruri"), stringField(json, "id"),
                                           stringField(json, "param"), body});
            taken_.push_back(false);
        } else if (boolField(json, "response")) {
            responses_.push_back(Response{stringField(json, "token"), boolField(json, "ok"),
                                          stringField(json, "data")});
        }
    }
}

}  // namespace Tarvent::VirtualChannel::TestSupport
