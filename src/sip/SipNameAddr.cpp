#include "sip/SipNameAddr.h"

#include <cctype>
#include <vector>

namespace Tarvent::VirtualChannel {

namespace {

constexpr std::size_t npos = std::string::npos;

bool isSpace(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

bool isLineBreak(char c)
{
    return c == '\n' || c == '\r';
}

std::size_t skipSpace(const std::string& text, std::size_t pos)
{
    while (pos < text.size() && isSpace(text[pos])) {
        ++pos;
    }
    return pos;
}

// Length of "sip:" or "sips:" at `pos`, 0 when neither starts there.
std::size_t schemeLength(const std::string& text, std::size_t pos)
{
    if (text.compare(pos, 4, "sip:") == 0) {
        return 4;
    }
    if (text.compare(pos, 5, "sips:") == 0) {
        return 5;
    }
    return 0;
}

bool hasLineBreakFrom(const std::string& text, std::size_t pos)
{
    for (; pos < text.size(); ++pos) {
        if (isLineBreak(text[pos])) {
            return true;
        }
    }
    return false;
}

std::string trimmed(const std::string& text, std::size_t begin, std::size_t end)
{
    while (begin < end && isSpace(text[begin])) {
        ++begin;
    }
    while (end > begin && isSpace(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

}  // namespace

SipNameAddr::SipNameAddr(const std::string& value)
{
    if (!parseNameAddr(value) && !parseBareUri(value)) {
        displayName.clear();
        uri.clear();
        user.clear();
    }
}

bool SipNameAddr::parseNameAddr(const std::string& value)
{
    // The positions of the next '@' and '>' from each index, and of the last
    // line break, make every candidate '<' cost constant time.
    std::size_t lastBreak = npos;
    std::vector<std::size_t> nextAt(value.size() + 1, npos);
    std::vector<std::size_t> nextClose(value.size() + 1, npos);
    for (std::size_t i = value.size(); i-- > 0;) {
        nextAt[i] = value[i] == '@' ? i : nextAt[i + 1];
        nextClose[i] = value[i] == '>' ? i : nextClose[i + 1];
        if (lastBreak == npos && isLineBreak(value[i])) {
            lastBreak = i;
        }
    }
    // Takes "<sip:user@...>" at `open`, with nothing but single-line text after the '>'.
    const auto takeAngleUri = [&](std::size_t open) {
        const std::size_t scheme = open + 1;
        const std::size_t schemeLen = schemeLength(value, scheme);
        if (schemeLen == 0) {
            return false;
        }
        const std::size_t at = nextAt[scheme + schemeLen];
        const std::size_t close = at == npos ? npos : nextClose[at + 1];
        if (close == npos || (lastBreak != npos && lastBreak > close)) {
            return false;
        }
        uri = value.substr(scheme, close - scheme);
        user = value.substr(scheme + schemeLen, at - scheme - schemeLen);
        return true;
    };

    const std::size_t start = skipSpace(value, 0);
    if (start < value.size() && value[start] == '"') {
        // quoted-string: escaped characters (\" and \\) stay inside it
        std::string name;
        std::size_t pos = start + 1;
        for (; pos < value.size() && value[pos] != '"'; ++pos) {
            if (value[pos] == '\\' && pos + 1 < value.size()) {
                ++pos;
            }
            name += value[pos];
        }
        if (pos >= value.size()) {
            return false;  // unterminated
        }
        const std::size_t open = skipSpace(value, pos + 1);
        if (open >= value.size() || value[open] != '<' || !takeAngleUri(open)) {
            return false;
        }
        displayName = std::move(name);
        return true;
    }

    // Unquoted display name: the words before the last '<' that starts a
    // complete "<sip:user@...>" with no double quote before it.
    const std::size_t quote = value.find('"');
    for (std::size_t open = quote == npos ? value.size() : quote; open-- > 0;) {
        if (value[open] == '<' && takeAngleUri(open)) {
            displayName = trimmed(value, 0, open);
            return true;
        }
    }
    return false;
}

bool SipNameAddr::parseBareUri(const std::string& value)
{
    std::size_t pos = skipSpace(value, 0);
    if (pos < value.size() && value[pos] == '<') {
        ++pos;
    }
    const std::size_t schemeLen = schemeLength(value, pos);
    if (schemeLen == 0) {
        return false;
    }
    const std::size_t at = value.find('@', pos + schemeLen);
    if (at == npos) {
        return false;
    }
    std::size_t end = at + 1;
    while (end < value.size() && value[end] != '>' && value[end] != ';' && !isSpace(value[end])) {
        ++end;
    }
    if (hasLineBreakFrom(value, end)) {
        return false;
    }
    displayName.clear();
    uri = value.substr(pos, end - pos);
    user = value.substr(pos + schemeLen, at - pos - schemeLen);
    return true;
}

}  // namespace Tarvent::VirtualChannel
