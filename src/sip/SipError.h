#pragma once

#include <string>

namespace Tarvent::VirtualChannel {

// A failure reported by the SIP library (a -1 status, a missing object) or by
// the layer over it. Deliberately not derived from std::exception: callers
// catch it before the standard errors, and a `catch (const std::exception&)`
// must not swallow it by accident.
// Plain value type; any thread.
struct SipError {
    int status = -1;        // the library's status, -1 when it gave none
    std::string title;      // the operation that failed, e.g. "Core::setTransports"
    std::string reason;     // what went wrong, with the library's own text where it gives one
    std::string srcFile;    // where it was thrown
    int srcLine = 0;

    // "title: reason" for log lines and answers.
    std::string info() const;
};

// Throws a SipError that records the throwing source file and line.
[[noreturn]] void throwSipError(int status, const std::string& title, const std::string& reason,
                                const char* srcFile, int srcLine);

}  // namespace Tarvent::VirtualChannel

#define OVRA_THROW_SIP_ERROR(status, title, reason) \
    ::Tarvent::VirtualChannel::throwSipError((status), (title), (reason), __FILE__, __LINE__)
