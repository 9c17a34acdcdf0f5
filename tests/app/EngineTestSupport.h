#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "proto/citrixMessage.pb.h"
#include "support/CitrixTestClient.h"
#include "support/EngineProcess.h"
#include "support/TempDir.h"

namespace Tarvent::VirtualChannel::TestSupport {

using Message = Proto::CitrixMessage;

// The executable under test and the sounds folder beside it.
inline std::string engineBinary() { return OVRA_ENGINE_BINARY; }
inline std::string soundsFolder() { return OVRA_ENGINE_SOUNDS; }

// A fresh engine in a program data folder of its own, with a client
// connected to the port it published. Test thread only.
class RunningEngine {
public:
    explicit RunningEngine(const std::vector<std::string>& env = {});
    // The engine started by `argv` (which ends by executing it).
    RunningEngine(const std::vector<std::string>& argv, const std::vector<std::string>& env);

    bool ready() const { return client_ != nullptr && client_->connected(); }
    EngineProcess& engine() { return *engine_; }
    CitrixTestClient& client() { return *client_; }
    const std::string& programData() const { return dir_.path(); }

    // Drops the client's connection at once (no goodbye) and connects a new
    // client, as a softphone whose channel broke does; false when the new
    // one could not connect.
    bool reconnect();

    // Sends `message` and returns its answer; an empty message when none came.
    Message request(const Message& message, std::chrono::milliseconds timeout = std::chrono::seconds(15));
    // The status of the answer to `message`.
    Proto::Ack ack(const Message& message);

    // SIGTERM and the exit status (nothing when it didn't end within `timeout`).
    std::optional<int> terminate(std::chrono::milliseconds timeout = std::chrono::seconds(20));

    // When `text` appeared in the log for the `occurrence`-th time (counting
    // from 1), polled every few milliseconds; nothing when not within `timeout`.
    std::optional<std::chrono::steady_clock::time_point> waitForLog(
        const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10), int occurrence = 1);

    // Starts the SIP stack and creates the account `user` at 127.0.0.1; its
    // object id once its registration was reported, else -1.
    int startWithAccount(const std::string& user, const std::string& password);

private:
    void connect();

    TempDir dir_{"ovra-e2e"};
    std::unique_ptr<EngineProcess> engine_;
    std::unique_ptr<CitrixTestClient> client_;
};

// The engine's idle period and the line that tells of the idle shutdown.
inline constexpr std::chrono::milliseconds kIdlePeriod{10000};
inline constexpr const char* kIdleShutdownLine =
    "No message arrived during the last [10000] ms. Shutting down SIP stack.";

// How long the idle shutdown came after the last command: counted from its
// send and from its answer's arrival.
struct IdleDelay {
    std::chrono::milliseconds afterSend{0};
    std::chrono::milliseconds afterAnswer{0};
};

// Sends `message` as the last command before a silence and waits for the
// `occurrence`-th idle shutdown; nothing when it did not come within two
// periods and a bit, or the command got no answer.
std::optional<IdleDelay> idleShutdownAfter(RunningEngine& engine, const Message& message, int occurrence = 1);

// Room for a loaded machine between the period's end and the line in the
// log; far less than a second period, which is what a missed tick costs.
inline constexpr std::chrono::milliseconds kIdleMargin{1500};

// Fails the test unless `delay` came, not before one period after the send
// and within the margin after one period after the answer; prints it.
void expectOnePeriod(const std::optional<IdleDelay>& delay, const char* after);

// Message builders for the commands the tests send most.
Message appStart(int protocolVersion);
Message stackStart();
Message stackStop();
Message stackQuery();
Message createAccount(const std::string& user, const std::string& password);

}  // namespace Tarvent::VirtualChannel::TestSupport
