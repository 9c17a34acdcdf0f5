#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace Tarvent::VirtualChannel::TestSupport {

// One event reported by a far-end UA on its control connection.
struct BaresipEvent {
    std::string type;       // CALL_INCOMING, CALL_ESTABLISHED, CALL_CLOSED, CALL_DTMF_START, ...
    std::string direction;  // incoming / outgoing
    std::string peerUri;
    std::string id;         // the call's id
    std::string param;      // for example the DTMF digit or the close reason
    std::string raw;        // the whole JSON text
};

// The TCP control connection of a baresip instance: netstring-framed JSON
// commands, responses and events on one connection. Only one client can be
// connected at a time (a new one replaces the old). Test thread only.
class BaresipControl {
public:
    // Connects to 127.0.0.1:`port`, retrying until `timeout`; throws when it can't.
    BaresipControl(std::uint16_t port, std::chrono::milliseconds timeout);
    ~BaresipControl();

    BaresipControl(const BaresipControl&) = delete;
    BaresipControl& operator=(const BaresipControl&) = delete;

    // Runs a command and returns its response data; throws std::runtime_error
    // when it is refused or not answered within `timeout`.
    std::string command(const std::string& name, const std::string& params = "",
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // The first event of `type` not returned before, waiting up to `timeout`.
    std::optional<BaresipEvent> waitForEvent(const std::string& type, std::chrono::milliseconds timeout);
    // Every event received so far (including those already returned).
    std::vector<BaresipEvent> events() const;

private:
    // Reads and files what arrives within `timeout`; false on time-out.
    bool readSome(std::chrono::milliseconds timeout);
    // Takes complete netstrings out of the buffer.
    void parseFrames();

    struct Response {
        std::string token;
        bool ok = false;
        std::string data;
    };

    int fd_ = -1;
    std::string buffer_;
    std::vector<BaresipEvent> events_;
    std::vector<bool> taken_;
    std::deque<Response> responses_;
    unsigned nextToken_ = 1;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
