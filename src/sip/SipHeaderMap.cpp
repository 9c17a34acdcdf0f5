#include "sip/SipHeaderMap.h"

#include <cctype>
#include <string_view>

#include "sip/SipText.h"

namespace Tarvent::VirtualChannel {

namespace {

bool isSpace(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    return text;
}

// Compact forms of the SIP standard, so both spellings meet under one key.
std::string longName(std::string name)
{
    if (name.size() != 1) {
        return name;
    }
    switch (name[0]) {
    case 'f': return "from";
    case 't': return "to";
    case 'm': return "contact";
    case 'i': return "call-id";
    case 'c': return "content-type";
    case 'l': return "content-length";
    case 'v': return "via";
    case 'k': return "supported";
    case 's': return "subject";
    case 'e': return "content-encoding";
    case 'o': return "event";
    case 'r': return "refer-to";
    case 'b': return "referred-by";
    case 'x': return "session-expires";
    case 'u': return "allow-events";
    default: return name;
    }
}

std::string keyOf(std::string_view name)
{
    return longName(toLower(std::string(name)));
}

}  // namespace

SipHeaderMap::SipHeaderMap(const char* message)
{
    if (message == nullptr) {
        return;
    }
    std::string_view rest(message);

    // The start line is not a header.
    std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) {
        return;
    }
    rest.remove_prefix(end + 1);

    std::string* previous = nullptr;  // value of the header a folded line continues
    while (!rest.empty()) {
        end = rest.find('\n');
        const std::string_view raw = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);

        const std::string_view line = trim(raw);
        if (line.empty()) {
            break;  // the empty line before the body
        }
        const bool folded = raw.front() == ' ' || raw.front() == '\t';
        if (folded && previous != nullptr) {
            previous->append(" ").append(line);
            continue;
        }

        const std::size_t colon = line.find(':');
        std::string key;
        std::string_view value;
        if (colon == std::string_view::npos) {
            key = keyOf(line);
            value = line;
        } else {
            // White space before the colon is allowed by the grammar and is not part of the name.
            key = keyOf(trim(line.substr(0, colon)));
            value = trim(line.substr(colon + 1));
        }
        std::vector<std::string>& values = headers_[key];
        values.emplace_back(value);
        previous = &values.back();
    }
}

std::string SipHeaderMap::get(const char* name) const
{
    if (name == nullptr) {
        return {};
    }
    const auto it = headers_.find(keyOf(name));
    return it == headers_.end() ? std::string() : it->second.back();
}

std::vector<std::string> SipHeaderMap::getAll(const char* name) const
{
    if (name == nullptr) {
        return {};
    }
    const auto it = headers_.find(keyOf(name));
    return it == headers_.end() ? std::vector<std::string>() : it->second;
}

}  // namespace Tarvent::VirtualChannel
