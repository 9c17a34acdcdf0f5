#pragma once

#include <string>
#include <unordered_map>
#include <vector>

namespace Tarvent::VirtualChannel {

// The header fields of one raw SIP message by lower-cased name: get() gives
// the last occurrence of a name, getAll() every one in message order. Folded header lines are joined to the line
// before, and the one-letter compact names are stored under their long names,
// so `get("From")` finds an "f:" header too. The body is never read.
// Built once, then read only: any thread may read a built map.
class SipHeaderMap {
public:
    // `message` is the whole message (start line, headers, optionally an empty
    // line and a body); null gives an empty map. Any byte sequence is safe.
    explicit SipHeaderMap(const char* message);

    // The value stored under the lower-cased (and, for a compact name, long)
    // form of `name`; "" when there is none or `name` is null.
    std::string get(const char* name) const;
    // Every value stored under that name, in message order; empty when none.
    std::vector<std::string> getAll(const char* name) const;

    std::size_t size() const { return headers_.size(); }

private:
    std::unordered_map<std::string, std::vector<std::string>> headers_;
};

}  // namespace Tarvent::VirtualChannel
