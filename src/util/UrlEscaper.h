#pragma once

#include <string>

namespace Tarvent::VirtualChannel {

// URL escaping through one process-wide libcurl handle. initialize() runs
// first thing at start-up, cleanup() last at shutdown, both on the service
// thread; escape() may run on any thread in between (it only reads the handle).
class UrlEscaper {
public:
    UrlEscaper() = delete;

    static void initialize();
    static void cleanup();
    // Empty when libcurl returns nothing (e.g. no handle).
    static std::string escape(const char* text);
};

}  // namespace Tarvent::VirtualChannel
