#include "sip/SipText.h"

#include <cctype>

namespace Tarvent::VirtualChannel {

std::string toLower(const std::string& text)
{
    std::string out(text);
    for (char& c : out) {
        // tolower is undefined for negative values other than EOF.
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

}  // namespace Tarvent::VirtualChannel
