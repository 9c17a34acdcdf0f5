#pragma once

#include <cstddef>
#include <string>

namespace google::protobuf {
class Message;
}

namespace Tarvent::VirtualChannel {

// Cuts texts that go into outgoing messages so that the message fits into one
// packet, without leaving broken UTF-8 behind. Pure functions; any thread.
class MessageFit {
public:
    // The longest head of `text` of at most `maxBytes` bytes that ends with a
    // whole line (its line feed included); empty when not even the first line fits.
    static std::string cutAtLine(const std::string& text, std::size_t maxBytes);
    // The longest head of `text` of at most `maxBytes` bytes that does not end
    // inside a UTF-8 sequence.
    static std::string cutAtCharacter(const std::string& text, std::size_t maxBytes);
    // Whether `text` holds a control character (below 0x20, or 0x7F).
    static bool hasControlCharacter(const std::string& text);
    // Shortens the longest texts of `message` (its string fields at any
    // depth, repeated ones included; never bytes fields) to one common length,
    // each at a character boundary, until the serialised message takes at most
    // `maxBytes`. Nothing else changes. False when even empty texts don't fit.
    static bool fitTexts(google::protobuf::Message& message, std::size_t maxBytes);
};

}  // namespace Tarvent::VirtualChannel
