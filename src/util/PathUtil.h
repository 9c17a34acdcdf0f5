#pragma once

#include <string>

namespace Tarvent::VirtualChannel {

// `first` + '/' + `second`; the separator is left out when `first` is empty or
// already ends with one. `second` is appended unchanged. Pure; any thread.
std::string joinPath(const char* first, const char* second);
std::string joinPath(const std::string& first, const char* second);
std::string joinPath(const std::string& first, const std::string& second);

}  // namespace Tarvent::VirtualChannel
