// Feeds arbitrary bytes to the SIP header map and the name-addr parser: as a
// whole message, and each header value the map finds as a name-addr.
#include <cstddef>
#include <cstdint>
#include <string>

#include "sip/SipHeaderMap.h"
#include "sip/SipNameAddr.h"

using Tarvent::VirtualChannel::SipHeaderMap;
using Tarvent::VirtualChannel::SipNameAddr;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);

    const SipHeaderMap map(text.c_str());
    for (const char* name : {"From", "To", "Contact", "Content-Type", "Call-Info"}) {
        const SipNameAddr addr(map.get(name));
        // The parts are always pieces of the value they came from.
        if (!addr.user.empty() && addr.uri.find(addr.user) == std::string::npos) {
            __builtin_trap();
        }
    }

    const SipNameAddr whole(text);
    if (!whole.user.empty() && whole.uri.find(whole.user) == std::string::npos) {
        __builtin_trap();
    }
    return 0;
}
