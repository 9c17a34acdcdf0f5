#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace Tarvent::VirtualChannel::TestSupport {

// A SIP registrar and proxy on 127.0.0.1 (UDP and TCP on one port) for one
// test: digest authentication of REGISTER (401) and of dialog-forming
// INVITE/REFER (407) against the given users, locations in memory,
// record-routing. Started from tests/support/kamailio.cfg.in; ready when it
// answers OPTIONS. Stopped with SIGTERM, then SIGKILL after 3 s. On request
// also TLS on 127.0.0.1:5061, with a server certificate from a throw-away CA
// made at start-up (openssl).
// Test thread only.
class KamailioFixture {
public:
    static constexpr std::uint16_t kTlsPort = 5061;

    // A TLS listener on 127.0.0.1:kTlsPort.
    struct Tls {
        // The server certificate's subjectAltName. The SIP stack's TLS library
        // can't match IP entries: "DNS:127.0.0.1" is what it compares with a
        // registrar addressed as 127.0.0.1.
        std::string serverNames = "IP:127.0.0.1,DNS:localhost,DNS:127.0.0.1";
    };

    // `users`: user name -> password. `port` 0 picks a free port (5060 suits
    // a test that runs alone in its network namespace and uses a realm
    // without a port; so does kTlsPort for TLS). Throws std::runtime_error
    // when the certificates can't be made or it doesn't answer within 10 s.
    explicit KamailioFixture(const std::map<std::string, std::string>& users,
                             const std::string& realm = "127.0.0.1", std::uint16_t port = 0,
                             const std::optional<Tls>& tls = std::nullopt);
    ~KamailioFixture();

    KamailioFixture(const KamailioFixture&) = delete;
    KamailioFixture& operator=(const KamailioFixture&) = delete;

    std::uint16_t port() const { return port_; }
    // "127.0.0.1:<port>"
    std::string hostPort() const;
    const std::string& realm() const { return realm_; }
    // The PEM file of the CA that signed the TLS server certificate; "" without TLS.
    const std::string& caFile() const { return caFile_; }

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
    // Ends it at once (SIGKILL to it and its helpers), as a crash would.
    void kill();
    // A new server with the same configuration on the same port (the old one
    // killed first if it still runs): it knows no registration of the old one.
    void restart();

private:
    // The CA and the server's certificate and key in the run folder.
    void makeCertificates(const Tls& tls);
    // Starts the server and waits until it answers; throws when it doesn't.
    void start();

    TempDir dir_;
    std::string realm_;
    std::string caFile_;
    std::uint16_t port_ = 0;
    std::vector<std::string> argv_;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
