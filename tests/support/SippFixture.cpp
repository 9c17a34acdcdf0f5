#include "support/SippFixture.h"


#include "support/PortPicker.h"

namespace Tarvent::VirtualChannel::TestSupport {

SippFixture::SippFixture(const std::string& scenario, const std::string& target,
                         const std::vector<std::string>& options)
    : dir_("ovra-sipp")
{
    port_ = PortPicker::freePorts(1);
    std::vector<std::string> argv{"sipp",
                                  "-sf", std::string(OVRA_TEST_SUPPORT_DIR) + "/sipp/" + scenario,
                                  "-i", "127.0.0.1",
                                  "-p", std::to_string(port_),
                                  "-mp", std::to_string(PortPicker::freePorts(2)),
                                  "-nostdin",
                                  "-trace_msg", "-message_file", dir_.file("messages.log"),
                                  "-trace_err", "-error_file", dir_.file("errors.log"),
                                  "-timeout", "60s",
                                  "-timeout_error"};
    argv.insert(argv.end(), options.begin(), options.end());
    if (!target.empty()) {
        argv.push_back(target);
    }
    process_ = std::make_unique<ChildProcess>(argv, dir_.file("sipp.log"));
}

SippFixture::~SippFixture()
{
    process_->stop(std::chrono::milliseconds(3000));
}

bool SippFixture::registerAt(const std::string& registrar, const std::string& user, const std::string& password,
                             std::string* failure) const
{
    SippFixture registration("register_other_contact.xml", registrar,
                             {"-s", user, "-au", user, "-ap", password, "-key", "contact_port", std::to_string(port_),
                              "-m", "1"});
    if (registration.wait(std::chrono::seconds(10)) == 0) {
        return true;
    }
    if (failure != nullptr) {
        *failure = registration.output();
    }
    return false;
}

std::optional<int> SippFixture::wait(std::chrono::milliseconds timeout)
{
    return process_->waitFor(timeout);
}

std::string SippFixture::messages() const
{
    return TempDir::readFile(dir_.file("messages.log"));
}

std::string SippFixture::output() const
{
    return TempDir::readFile(dir_.file("sipp.log")) + TempDir::readFile(dir_.file("errors.log"));
}

}  // namespace Tarvent::VirtualChannel::TestSupport
