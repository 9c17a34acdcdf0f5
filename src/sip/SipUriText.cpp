#include "sip/SipUriText.h"

#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace Tarvent::VirtualChannel {

namespace {

[[noreturn]] void refuse(const char* what, const std::string& why)
{
    throw std::runtime_error(std::string(what != nullptr ? what : "text") + " is invalid: " + why);
}

bool isUserChar(unsigned char c)
{
    if (std::isalnum(c) != 0) {
        return true;
    }
    switch (c) {
    // unreserved marks and the user-unreserved set of RFC 3261
    case '-': case '_': case '.': case '!': case '~': case '*': case '\'': case '(': case ')':
    case '&': case '=': case '+': case '$': case ',': case ';': case '?': case '/':
        return true;
    default:
        return false;
    }
}

bool isHex(unsigned char c)
{
    return std::isxdigit(c) != 0;
}

}  // namespace

std::string SipUriText::escapeUser(const std::string& text, const char* what)
{
    if (text.empty()) {
        refuse(what, "empty");
    }
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            refuse(what, "control character");
        }
        if (isUserChar(c)) {
            out += static_cast<char>(c);
        } else if (c == '%' && i + 2 < text.size() && isHex(static_cast<unsigned char>(text[i + 1])) &&
                   isHex(static_cast<unsigned char>(text[i + 2]))) {
            out += '%';
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            out += escaped;
        }
    }
    if (out.size() > kMaxUserLength) {
        refuse(what, "too long");
    }
    return out;
}

const std::string& SipUriText::checkHost(const std::string& text, const char* what)
{
    if (text.empty()) {
        refuse(what, "empty");
    }
    if (text.size() > kMaxHostLength) {
        refuse(what, "too long");
    }
    bool inBrackets = false;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) != 0 || c == '.' || c == '-') {
            continue;
        }
        if (c == '[' && !inBrackets) {
            inBrackets = true;
        } else if (c == ']' && inBrackets) {
            inBrackets = false;
        } else if (c != ':') {
            refuse(what, "character not allowed in a host");
        }
    }
    if (inBrackets) {
        refuse(what, "unclosed bracket");
    }
    return text;
}

bool SipUriText::hasPort(const std::string& host)
{
    const std::size_t bracket = host.rfind(']');
    const std::size_t colon = host.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    if (host.front() == '[') {
        return bracket != std::string::npos && colon > bracket;
    }
    // A bare IPv6 address has several colons and no port.
    return host.find(':') == colon;
}

const std::string& SipUriText::checkDtmf(const std::string& digits)
{
    if (digits.empty()) {
        refuse("DTMF digits", "empty");
    }
    for (const char ch : digits) {
        const auto c = static_cast<unsigned char>(std::toupper(static_cast<unsigned char>(ch)));
        if (std::isdigit(c) == 0 && c != '*' && c != '#' && (c < 'A' || c > 'D')) {
            refuse("DTMF digits", "not a DTMF digit");
        }
    }
    return digits;
}

}  // namespace Tarvent::VirtualChannel
