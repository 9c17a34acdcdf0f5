#pragma once

#include <string>

namespace Tarvent::VirtualChannel {

// The five values of an account as the softphone sends them. The host is
// kept but no setting uses it. Plain value type; any thread.
struct AccountData {
    std::string username;
    std::string realm;
    std::string host;
    std::string password;
    std::string transport;
};

}  // namespace Tarvent::VirtualChannel
