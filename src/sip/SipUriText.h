#pragma once

#include <cstddef>
#include <string>

namespace Tarvent::VirtualChannel {

// Checks the text that the engine puts into SIP URIs and headers (user names,
// phone numbers, transfer targets, realms, DTMF digits), so that no value
// from a request can break a URI or smuggle a header in. Pure functions: any
// thread. Each throws std::runtime_error("<what> is invalid: ...") on text it
// refuses.
class SipUriText {
public:
    // The SIP library writes an address into a buffer of 1024 characters and
    // reads back what it wrote: a longer URI comes back cut and unreadable,
    // and an account or call built on it crashes the library. A user part or
    // a host stays far below that with these limits.
    static constexpr std::size_t kMaxUserLength = 256;  // escaped
    static constexpr std::size_t kMaxHostLength = 253;  // the longest DNS name

    // A URI user part: refuses an empty text and control characters (CR and
    // LF included); escapes every character that RFC 3261 does not allow
    // unescaped in a user part ('@', ':', '<', '"', space, '#', ... and
    // bytes above 0x7F) as %XX; an existing %XX escape is kept. Refuses a
    // result longer than kMaxUserLength.
    static std::string escapeUser(const std::string& text, const char* what);
    // A host with an optional port ("example.com", "10.0.0.1:5070",
    // "[::1]:5060"): letters, digits, '.', '-', and the brackets and colons of
    // an IPv6 reference only, at most kMaxHostLength. Returns the text unchanged.
    static const std::string& checkHost(const std::string& text, const char* what);
    // True when the host text already names a port.
    static bool hasPort(const std::string& host);
    // DTMF digits: 0-9, '*', '#', A-D (either case), at least one.
    static const std::string& checkDtmf(const std::string& digits);
};

}  // namespace Tarvent::VirtualChannel
