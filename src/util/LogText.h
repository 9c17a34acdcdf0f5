#pragma once

#include <string>

namespace Tarvent::VirtualChannel {

// A text from outside (the softphone, a SIP peer, the sound system) as a
// field value of a log line: control characters (below 0x20, and 0x7F)
// become \n, \r, \t or \xHH and a backslash becomes \\, so that one log line
// stays one line and every backslash in it starts an escape. Everything
// else, UTF-8 included, is kept. Pure; any thread.
std::string logText(const std::string& text);

}  // namespace Tarvent::VirtualChannel
