#include "support/KamailioFixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/PortPicker.h"

namespace Tarvent::VirtualChannel::TestSupport {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;


void replaceAll(std::string& text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// A value for a double-quoted string of the config language.
std::string configString(const std::string& value)
{
    std::string out;
    for (const char c : value) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

// Extensions of the throw-away CA and of the server certificate it signs.
const char* const kCertificateConfig =
    "[req]\n"
    "distinguished_name = dn\n"
    "prompt = no\n"
    "[dn]\n"
    "CN = unused\n"
    "[ca]\n"
    "basicConstraints = critical,CA:TRUE\n"
    "keyUsage = critical,keyCertSign,cRLSign\n"
    "subjectKeyIdentifier = hash\n"
    "[server]\n"
    "basicConstraints = critical,CA:FALSE\n"
    "keyUsage = critical,digitalSignature,keyEncipherment\n"
    "extendedKeyUsage = serverAuth\n"
    "subjectAltName = @SERVER_NAMES@\n"
    "subjectKeyIdentifier = hash\n"
    "authorityKeyIdentifier = keyid\n";

void runOpenssl(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{"openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto result = ChildProcess::run(argv, 10s);
    if (result.status != 0) {
        throw std::runtime_error("openssl " + args.front() + " failed: " + result.output);
    }
}

}  // namespace

KamailioFixture::KamailioFixture(const std::map<std::string, std::string>& users, const std::string& realm,
                                 std::uint16_t port, const std::optional<Tls>& tls)
    : dir_("ovra-kamailio"), realm_(realm)
{
    port_ = port != 0 ? port : PortPicker::freePorts(1);
    std::string config = TempDir::readFile(std::string(OVRA_TEST_SUPPORT_DIR) + "/kamailio.cfg.in");
    if (config.empty()) {
        throw std::runtime_error("kamailio.cfg.in not found");
    }
    std::string userLines;
    for (const auto& [user, password] : users) {
        userLines += "    $sht(users=>" + user + ") = \"" + configString(password) + "\";\n";
    }
    replaceAll(config, "@PORT@", std::to_string(port_));
    replaceAll(config, "@TLS_PORT@", std::to_string(kTlsPort));
    replaceAll(config, "@RUN@", dir_.path());
    replaceAll(config, "@REALM@", configString(realm));
    replaceAll(config, "@USERS@", userLines);
    const std::string configFile = dir_.file("kamailio.cfg");
    std::ofstream(configFile) << config;

    std::vector<std::string> argv{"kamailio", "-f", configFile, "-DD", "-E", "-m", "32", "-M", "4", "-P",
                                  dir_.file("kamailio.pid"), "-Y", dir_.path(), "-w", dir_.path()};
    if (tls) {
        makeCertificates(*tls);
        argv.insert(argv.end(), {"-A", "WITH_TLS"});
    }
    argv_ = argv;
    start();
}

void KamailioFixture::start()
{
    process_ = std::make_unique<ChildProcess>(argv_, dir_.file("kamailio.log"));
    const auto deadline = Clock::now() + 10s;
    while (!answersOptions(50ms)) {
        if (!process_->running() || Clock::now() > deadline) {
            throw std::runtime_error("kamailio did not start:\n" + log());
        }
    }
}

void KamailioFixture::restart()
{
    kill();
    process_.reset();
    start();
}

void KamailioFixture::makeCertificates(const Tls& tls)
{
    const std::string config = dir_.file("certificates.cnf");
    std::string configText = kCertificateConfig;
    replaceAll(configText, "@SERVER_NAMES@", tls.serverNames);
    std::ofstream(config) << configText;
    // EC keys: made in a millisecond, where RSA keys can take a while.
    const std::vector<std::string> newKey{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    std::vector<std::string> ca{"req", "-x509", "-config", config, "-extensions", "ca", "-days", "2",
                                "-subj", "/CN=OVRA test CA", "-keyout", dir_.file("ca.key"), "-out", dir_.file("ca.crt")};
    ca.insert(ca.end(), newKey.begin(), newKey.end());
    runOpenssl(ca);
    std::vector<std::string> request{"req", "-new", "-config", config, "-subj", "/CN=127.0.0.1",
                                     "-keyout", dir_.file("server.key"), "-out", dir_.file("server.csr")};
    request.insert(request.end(), newKey.begin(), newKey.end());
    runOpenssl(request);
    runOpenssl({"x509", "-req", "-in", dir_.file("server.csr"), "-CA", dir_.file("ca.crt"), "-CAkey",
                dir_.file("ca.key"), "-CAcreateserial", "-days", "2", "-extfile", config, "-extensions", "server",
                "-out", dir_.file("server.crt")});
    caFile_ = dir_.file("ca.crt");
}

KamailioFixture::~KamailioFixture()
{
    stop();
}

void KamailioFixture::stop()
{
    if (process_) {
        process_->stop(3s);
    }
}

void KamailioFixture::kill()
{
    if (process_) {
        process_->kill();
    }
}

std::string KamailioFixture::hostPort() const
{
    return "127.0.0.1:" + std::to_string(port_);
}

std::string KamailioFixture::log() const
{
    return TempDir::readFile(dir_.file("kamailio.log"));
}

bool KamailioFixture::answersOptions(std::chrono::milliseconds timeout) const
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof local;
    ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
    const std::string localPort = std::to_string(ntohs(local.sin_port));

    const std::string host = hostPort();
    const std::string request = "OPTIONS sip:" + host + " SIP/2.0\r\n"
                                "Via: SIP/2.0/UDP 127.0.0.1:" + localPort + ";branch=z9hG4bK-ovra-" + localPort + "\r\n"
                                "Max-Forwards: 70\r\n"
                                "From: <sip:probe@127.0.0.1:" + localPort + ">;tag=probe\r\n"
                                "To: <sip:" + host + ">\r\n"
                                "Call-ID: probe-" + localPort + "@127.0.0.1\r\n"
                                "CSeq: 1 OPTIONS\r\n"
                                "Content-Length: 0\r\n\r\n";
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port_);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = false;
    if (::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
        static_cast<ssize_t>(request.size())) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) == 1) {
            char buffer[2048];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            ok = n > 0 && std::string(buffer, static_cast<std::size_t>(n)).rfind("SIP/2.0 200", 0) == 0;
        }
    } else {
        std::this_thread::sleep_for(timeout);  // nothing listens yet: pace the retries
    }
    ::close(fd);
    return ok;
}

std::string KamailioFixture::dumpRegistrations() const
{
    const auto result =
        ChildProcess::run({"kamcmd", "-s", "unix:" + dir_.path() + "/kamailio_ctl", "ul.dump"}, 10s);
    if (result.status != 0) {
        throw std::runtime_error("kamcmd ul.dump failed: " + result.output);
    }
    return result.output;
}

bool KamailioFixture::waitForRegistration(const std::string& user, std::chrono::milliseconds timeout,
                                          bool registered) const
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const bool found = dumpRegistrations().find("AoR: " + user) != std::string::npos;
        if (found == registered) {
            return true;
        }
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
}

}  // namespace Tarvent::VirtualChannel::TestSupport
