#include "util/PathUtil.h"

#include "platform/FileSystem.h"

namespace Tarvent::VirtualChannel {

std::string joinPath(const char* first, const char* second)
{
    return joinPath(std::string(first), std::string(second));
}

std::string joinPath(const std::string& first, const char* second)
{
    return joinPath(first, std::string(second));
}

std::string joinPath(const std::string& first, const std::string& second)
{
    std::string out = first;
    if (!out.empty() && out.back() != kPathSeparator) {
        out += kPathSeparator;
    }
    out += second;
    return out;
}

}  // namespace Tarvent::VirtualChannel
