#include "sip/SipError.h"

namespace Tarvent::VirtualChannel {

std::string SipError::info() const
{
    return title.empty() ? reason : title + ": " + reason;
}

void throwSipError(int status, const std::string& title, const std::string& reason, const char* srcFile,
                   int srcLine)
{
    SipError error;
    error.status = status;
    error.title = title;
    error.reason = reason;
    error.srcFile = srcFile != nullptr ? srcFile : "";
    error.srcLine = srcLine;
    throw error;
}

}  // namespace Tarvent::VirtualChannel
