#include "service/MessageFit.h"

#include <algorithm>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

namespace Tarvent::VirtualChannel {

namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;

// One string field of a message tree: the message holding it, the field and,
// for a repeated field, the element.
struct Text {
    Message* owner;
    const FieldDescriptor* field;
    int index;  // -1 for a singular field

    std::string get() const
    {
        const auto* reflection = owner->GetReflection();
        return index < 0 ? reflection->GetString(*owner, field) : reflection->GetRepeatedString(*owner, field, index);
    }

    void set(std::string value) const
    {
        const auto* reflection = owner->GetReflection();
        if (index < 0) {
            reflection->SetString(owner, field, std::move(value));
        } else {
            reflection->SetRepeatedString(owner, field, index, std::move(value));
        }
    }
};

void collectTexts(Message& message, std::vector<Text>& texts)
{
    const auto* reflection = message.GetReflection();
    std::vector<const FieldDescriptor*> fields;
    reflection->ListFields(message, &fields);
    for (const FieldDescriptor* field : fields) {
        const bool repeated = field->is_repeated();
        const int count = repeated ? reflection->FieldSize(message, field) : 1;
        if (field->type() == FieldDescriptor::TYPE_STRING) {
            for (int i = 0; i < count; ++i) {
                texts.push_back(Text{&message, field, repeated ? i : -1});
            }
        } else if (field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
            for (int i = 0; i < count; ++i) {
                collectTexts(repeated ? *reflection->MutableRepeatedMessage(&message, field, i)
                                      : *reflection->MutableMessage(&message, field),
                             texts);
            }
        }
    }
}

// The largest length such that cutting every longer text down to it removes
// at least `excess` bytes (0 when even that is not enough).
std::size_t commonLength(const std::vector<std::size_t>& lengths, std::size_t excess)
{
    const auto removedAt = [&](std::size_t cap) {
        std::size_t removed = 0;
        for (const std::size_t length : lengths) {
            removed += length > cap ? length - cap : 0;
        }
        return removed;
    };
    std::size_t low = 0;  // removedAt(low) >= excess, or low is 0
    std::size_t high = *std::max_element(lengths.begin(), lengths.end());
    while (low < high) {
        const std::size_t middle = low + (high - low + 1) / 2;
        if (removedAt(middle) >= excess) {
            low = middle;
        } else {
            high = middle - 1;
        }
    }
    return low;
}

}  // namespace

std::string MessageFit::cutAtLine(const std::string& text, std::size_t maxBytes)
{
    if (text.size() <= maxBytes) {
        return text;
    }
    if (maxBytes == 0) {
        return std::string();
    }
    const auto lastFeed = text.rfind('\n', maxBytes - 1);
    return lastFeed == std::string::npos ? std::string() : text.substr(0, lastFeed + 1);
}

std::string MessageFit::cutAtCharacter(const std::string& text, std::size_t maxBytes)
{
    if (text.size() <= maxBytes) {
        return text;
    }
    std::size_t end = maxBytes;
    // Step back over continuation bytes to the start of the sequence that would be split.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0u) == 0x80u) {
        --end;
    }
    return text.substr(0, end);
}

bool MessageFit::hasControlCharacter(const std::string& text)
{
    return std::any_of(text.begin(), text.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return c < 0x20u || c == 0x7Fu;
    });
}

bool MessageFit::fitTexts(Message& message, std::size_t maxBytes)
{
    for (;;) {
        const std::size_t size = message.ByteSizeLong();
        if (size <= maxBytes) {
            return true;
        }
        std::vector<Text> texts;
        collectTexts(message, texts);
        std::vector<std::size_t> lengths;
        std::vector<std::string> values;
        for (const Text& text : texts) {
            values.push_back(text.get());
            lengths.push_back(values.back().size());
        }
        if (texts.empty() || *std::max_element(lengths.begin(), lengths.end()) == 0) {
            return false;
        }
        // Removing n bytes of text shrinks the message by at least n (length
        // prefixes only get shorter), so one round fits unless even empty
        // texts are too much; the next round finds out.
        const std::size_t cap = commonLength(lengths, size - maxBytes);
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (lengths[i] > cap) {
                texts[i].set(cutAtCharacter(values[i], cap));
            }
        }
    }
}

}  // namespace Tarvent::VirtualChannel
