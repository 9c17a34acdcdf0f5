#include "util/UrlEscaper.h"

#include <curl/curl.h>

namespace Tarvent::VirtualChannel {

namespace {

// The process-wide handle: written only by initialize() and cleanup().
CURL* handle = nullptr;

}  // namespace

void UrlEscaper::initialize()
{
    curl_global_init(0);
    handle = curl_easy_init();
}

void UrlEscaper::cleanup()
{
    curl_easy_cleanup(handle);
    handle = nullptr;
    curl_global_cleanup();
}

std::string UrlEscaper::escape(const char* text)
{
    char* escaped = curl_easy_escape(handle, text, 0);
    if (escaped == nullptr) {
        return {};
    }
    std::string out(escaped);
    curl_free(escaped);
    return out;
}

}  // namespace Tarvent::VirtualChannel
