#pragma once

#include <string>

namespace Tarvent::VirtualChannel {

// Checks the text that the engine puts into SIP URIs and headers (user names,
// phone numbers, transfer targets, realms, DTMF digits), so that no value
// from a request can break a URI or smuggle a header in. Pure functions: any
// thread. Each throws std::runtime_error("<what> is invalid: ...") on text it
// refuses.
class SipUriText {
public:
    // A URI user part: refuses an empty text and control characters (CR and
    // LF included); escapes every character that RFC 3261 does not allow
    // unescaped in a user part ('@', ':', '<', '"', space, '#', ... and
    // bytes above 0x7F) as %XX; an existing %XX escape is kept.
    static std::string escapeUser(const std::string& text, const char* what);
    // A host with an optional port ("example.com", "10.0.0.1:5070",
    // "[::1]:5060"): letters, digits, '.', '-', and the brackets and colons of
    // an IPv6 reference only. Returns the text unchanged.
    static const std::string& checkHost(const std::string& text, const char* what);
    // True when the host text already names a port.
    static bool hasPort(const std::string& host);
    // DTMF digits: 0-9, '*', '#', A-D (either case), at least one.
    static const std::string& checkDtmf(const std::string& digits);
};

}  // namespace Tarvent::VirtualChannel
