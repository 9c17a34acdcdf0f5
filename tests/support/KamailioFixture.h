#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace Tarvent::VirtualChannel::TestSupport {

// A SIP registrar and proxy on 127.0.0.1 (UDP and TCP on one port) for one
// test: digest authentication of REGISTER (401) and of dialog-forming
// INVITE/REFER (407) against the given users, locations in memory,
// record-routing. Started from tests/support/kamailio.cfg.in; ready when it
// answers OPTIONS. Stopped with SIGTERM, then SIGKILL after 3 s.
// Test thread only.
class KamailioFixture {
public:
    // `users`: user name -> password. `port` 0 picks a free port (5060 suits
    // a test that runs alone in its network namespace and uses a realm
    // without a port). Throws std::runtime_error when it doesn't answer
    // within 10 s.
    explicit KamailioFixture(const std::map<std::string, std::string>& users,
                             const std::string& realm = "127.0.0.1", std::uint16_t port = 0);
    ~KamailioFixture();

    KamailioFixture(const KamailioFixture&) = delete;
    KamailioFixture& operator=(const KamailioFixture&) = delete;

    std::uint16_t port() const { return port_; }
    // "127.0.0.1:<port>"
    std::string hostPort() const;
    const std::string& realm() const { return realm_; }

    // One OPTIONS over UDP; true when it is answered 200 within `timeout`.
    bool answersOptions(std::chrono::milliseconds timeout) const;
    // The location table (`ul.dump`) as text.
    std::string dumpRegistrations() const;
    // Waits until `user` has a registered contact (or not, with registered = false).
    bool waitForRegistration(const std::string& user, std::chrono::milliseconds timeout,
                             bool registered = true) const;
    // The log of the server (stderr), for failure messages.
    std::string log() const;

    void stop();

private:
    TempDir dir_;
    std::string realm_;
    std::uint16_t port_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
