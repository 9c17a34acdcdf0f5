#pragma once

#include <string>

namespace Tarvent::VirtualChannel {

// One SIP name-addr header value ("From"/"To") taken apart. Accepts
//   [display-name] <sip:user@host...>[...]   and   [<]sip:user@host[;params...]
// where the display name is either unquoted words or one quoted string (with
// backslash escapes). A value of any other shape, or a URI without a user
// part, leaves all three fields empty. Linear in the length of the value and
// safe for any bytes. Value type: any thread.
class SipNameAddr {
public:
    explicit SipNameAddr(const std::string& value);

    std::string displayName;
    std::string uri;   // from the scheme, without the angle brackets
    std::string user;  // between the scheme and the first '@'

private:
    bool parseNameAddr(const std::string& value);
    bool parseBareUri(const std::string& value);
};

}  // namespace Tarvent::VirtualChannel
