#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace Tarvent::VirtualChannel::TestSupport {

// Runs one SIPp scenario from tests/support/sipp/ on 127.0.0.1, in the
// background from construction: against `target` ("127.0.0.1:<port>") as a
// client, or as a server when `target` is empty (then `port()` is where it
// listens). The exchanged messages are kept (-trace_msg).
// Test thread only.
class SippFixture {
public:
    // `scenario`: a file name in tests/support/sipp/. `options`: further SIPp
    // options (for example {"-m", "1"} or {"-au", "alice", "-ap", "pw"}).
    SippFixture(const std::string& scenario, const std::string& target, const std::vector<std::string>& options = {});
    ~SippFixture();

    SippFixture(const SippFixture&) = delete;
    SippFixture& operator=(const SippFixture&) = delete;

    std::uint16_t port() const { return port_; }
    // Registers `user` with `password` at `registrar` ("127.0.0.1:<port>")
    // with this scenario's address, so that the calls to that user reach
    // this scenario. False (and SIPp's output in `failure`) when the
    // registrar did not take it.
    bool registerAt(const std::string& registrar, const std::string& user, const std::string& password,
                    std::string* failure = nullptr) const;
    // SIPp's exit code (0: all calls succeeded), or nothing when it still
    // runs after `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // The messages sent and received so far.
    std::string messages() const;
    // SIPp's own output and error log.
    std::string output() const;

private:
    TempDir dir_;
    std::uint16_t port_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
