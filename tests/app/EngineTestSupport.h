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

    bool ready() const { return client_ != nullptr && client_->connected(); }
    EngineProcess& engine() { return *engine_; }
    CitrixTestClient& client() { return *client_; }
    const std::string& programData() const { return dir_.path(); }

    // Sends `message` and returns its answer; an empty message when none came.
    Message request(const Message& message, std::chrono::milliseconds timeout = std::chrono::seconds(15));
    // The status of the answer to `message`.
    Proto::Ack ack(const Message& message);

    // SIGTERM and the exit status (nothing when it didn't end within `timeout`).
    std::optional<int> terminate(std::chrono::milliseconds timeout = std::chrono::seconds(20));

private:
    TempDir dir_{"ovra-e2e"};
    std::unique_ptr<EngineProcess> engine_;
    std::unique_ptr<CitrixTestClient> client_;
};

// Message builders for the commands the tests send most.
Message appStart(int protocolVersion);
Message stackStart();
Message stackStop();
Message stackQuery();
Message createAccount(const std::string& user, const std::string& password);

}  // namespace Tarvent::VirtualChannel::TestSupport
