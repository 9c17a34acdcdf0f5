#include "app/MessageFuzzer.h"

#include <algorithm>
#include <map>
#include <utility>

#include "app/KnownIds.h"

namespace Tarvent::VirtualChannel::TestSupport {

namespace {

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::Reflection;

constexpr int kMaxDepth = 3;

// How often a case comes, relative to 1: the cases that restart the SIP
// stack, pack the log or open sound devices cost the engine far more than
// the rest, and would otherwise take all of the run's time.
double weightOf(const std::string& name)
{
    static const std::map<std::string, double> weights = {
        {"SipStackStartAction", 0.03},
        {"SipStackStopAction", 0.01},
        {"MakeCallAction", 2.0},
        {"DialAction", 2.0},
        {"AppStartLogTransferAction", 0.1},
        {"AudioDeviceManagerCreateAction", 0.5},
    };
    const auto found = weights.find(name);
    return found != weights.end() ? found->second : 1.0;
}

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool isIdField(const FieldDescriptor& field)
{
    return endsWith(field.name(), "Id") || endsWith(field.name(), "Ids");
}

const google::protobuf::OneofDescriptor& inner()
{
    return *Proto::CitrixMessage::descriptor()->FindOneofByName("inner");
}

}  // namespace

MessageFuzzer::MessageFuzzer(std::uint64_t seed, KnownIds& ids, std::vector<std::string> soundFiles)
    : random_(seed), ids_(ids), soundFiles_(std::move(soundFiles)), cases_(caseNumbers())
{
    double total = 0;
    for (const int number : cases_) {
        total += weightOf(Message::descriptor()->FindFieldByNumber(number)->message_type()->name());
        cumulativeWeights_.push_back(total);
    }
}

std::vector<int> MessageFuzzer::caseNumbers()
{
    std::vector<int> numbers;
    for (int i = 0; i < inner().field_count(); ++i) {
        numbers.push_back(inner().field(i)->number());
    }
    return numbers;
}

int MessageFuzzer::pickCase()
{
    const double at = random_.unit() * cumulativeWeights_.back();
    const auto found = std::upper_bound(cumulativeWeights_.begin(), cumulativeWeights_.end(), at);
    const auto index = std::min<std::size_t>(static_cast<std::size_t>(found - cumulativeWeights_.begin()),
                                             cases_.size() - 1);
    return cases_[index];
}

MessageFuzzer::Message MessageFuzzer::message()
{
    return message(pickCase());
}

MessageFuzzer::Message MessageFuzzer::message(int number)
{
    textLimit_ = random_.chance(0.1) ? 2000 : 64;
    Message envelope;
    const FieldDescriptor* field = Message::descriptor()->FindFieldByNumber(number);
    google::protobuf::Message* member = envelope.GetReflection()->MutableMessage(&envelope, field);
    fill(*member, 1);
    return envelope;
}

std::string MessageFuzzer::payload(std::size_t maxSize, int& caseNumber)
{
    if (random_.chance(0.03)) {
        caseNumber = 0;
        return random_.bytes(std::min<std::size_t>(maxSize, random_.chance(0.9) ? 64 : maxSize));
    }
    caseNumber = pickCase();
    return payloadOf(caseNumber, maxSize);
}

std::string MessageFuzzer::payloadOf(int number, std::size_t maxSize)
{
    std::string bytes = message(number).SerializeAsString();
    if (random_.chance(0.1)) {
        return random_.mutate(std::move(bytes), maxSize);
    }
    // Too long for one packet: cut, which the parser meets as a truncated message.
    if (bytes.size() > maxSize) {
        bytes.resize(maxSize);
    }
    return bytes;
}

void MessageFuzzer::fill(google::protobuf::Message& message, int depth)
{
    const Descriptor& descriptor = *message.GetDescriptor();
    for (int i = 0; i < descriptor.field_count(); ++i) {
        // Unset fields read as their defaults: those are values as well.
        if (random_.chance(0.2)) {
            continue;
        }
        fillField(message, *descriptor.field(i), depth);
    }
}

std::int32_t MessageFuzzer::idValue()
{
    const auto known = ids_.pick(random_);
    if (known && random_.chance(0.5)) {
        return *known;
    }
    return random_.chance(0.3) ? static_cast<std::int32_t>(random_.between(-1, 5)) : random_.int32();
}

std::string MessageFuzzer::textFor(const FieldDescriptor& field)
{
    const std::string& name = field.name();
    if (random_.chance(0.4)) {
        if (name == "fileName" && !soundFiles_.empty()) {
            return random_.pick(soundFiles_);
        }
        if (name == "host" || name == "realm") {
            return random_.pick(std::vector<std::string>{"127.0.0.1", "127.0.0.1", "127.0.0.1:5060", "localhost"});
        }
        if (name == "transport") {
            return random_.pick(std::vector<std::string>{"udp", "tcp", "tls", "UDP", ""});
        }
        // The test's registrar knows alice, bob and carol; bob and carol answer calls.
        if (name == "username") {
            return random_.pick(std::vector<std::string>{"alice", "alice", "bob", "100"});
        }
        if (name == "password" || name == "newPassword") {
            return random_.pick(std::vector<std::string>{"alicepw", "alicepw", "bobpw", "wrong"});
        }
        if (name == "phoneNumber" || name == "targetNumber") {
            return random_.pick(std::vector<std::string>{"bob", "carol", "sip:carol@127.0.0.1", "100", "*98#"});
        }
        if (name == "codecName") {
            return random_.pick(std::vector<std::string>{"PCMU", "PCMA", "opus", "G729", "speex", "GSM"});
        }
        if (name == "digit") {
            return random_.pick(std::vector<std::string>{"1", "#", "*", "A", "123"});
        }
    }
    return random_.text(textLimit_);
}

void MessageFuzzer::fillField(google::protobuf::Message& message, const FieldDescriptor& field, int depth)
{
    const Reflection& reflection = *message.GetReflection();
    const bool repeated = field.is_repeated();
    const int count = repeated ? static_cast<int>(random_.chance(0.1) ? random_.between(0, 60) : random_.between(0, 6))
                               : 1;
    for (int n = 0; n < count; ++n) {
        switch (field.cpp_type()) {
        case FieldDescriptor::CPPTYPE_INT32: {
            const std::int32_t value = isIdField(field) ? idValue() : random_.int32();
            repeated ? reflection.AddInt32(&message, &field, value) : reflection.SetInt32(&message, &field, value);
            break;
        }
        case FieldDescriptor::CPPTYPE_INT64: {
            const std::int64_t value = random_.int64();
            repeated ? reflection.AddInt64(&message, &field, value) : reflection.SetInt64(&message, &field, value);
            break;
        }
        case FieldDescriptor::CPPTYPE_UINT32: {
            const std::uint32_t value = random_.uint32();
            repeated ? reflection.AddUInt32(&message, &field, value) : reflection.SetUInt32(&message, &field, value);
            break;
        }
        case FieldDescriptor::CPPTYPE_UINT64: {
            const std::uint64_t value = random_.uint64();
            repeated ? reflection.AddUInt64(&message, &field, value) : reflection.SetUInt64(&message, &field, value);
            break;
        }
        case FieldDescriptor::CPPTYPE_FLOAT: {
            const float value = random_.float32();
            repeated ? reflection.AddFloat(&message, &field, value) : reflection.SetFloat(&message, &field, value);
            break;
        }
        case FieldDescriptor::CPPTYPE_DOUBLE: {
            const double value = random_.float64();
            repeated ? reflection.AddDouble(&message, &field, value) : reflection.SetDouble(&message, &field, value);
            break;
        }
        case FieldDescriptor::CPPTYPE_BOOL: {
            const bool value = random_.chance(0.5);
            repeated ? reflection.AddBool(&message, &field, value) : reflection.SetBool(&message, &field, value);
            break;
        }
        case FieldDescriptor::CPPTYPE_ENUM: {
            // Open enums: numbers the schema doesn't name are kept as they are.
            const auto* type = field.enum_type();
            const int value = random_.chance(0.7) ? type->value(static_cast<int>(random_.below(type->value_count())))->number()
                                                  : random_.int32();
            repeated ? reflection.AddEnumValue(&message, &field, value)
                     : reflection.SetEnumValue(&message, &field, value);
            break;
        }
        case FieldDescriptor::CPPTYPE_STRING: {
            std::string value = field.type() == FieldDescriptor::TYPE_BYTES ? random_.bytes(textLimit_) : textFor(field);
            repeated ? reflection.AddString(&message, &field, std::move(value))
                     : reflection.SetString(&message, &field, std::move(value));
            break;
        }
        case FieldDescriptor::CPPTYPE_MESSAGE:
            if (depth < kMaxDepth) {
                fill(repeated ? *reflection.AddMessage(&message, &field) : *reflection.MutableMessage(&message, &field),
                     depth + 1);
            }
            break;
        }
    }
}

void MessageFuzzer::learn(const google::protobuf::Message& message, KnownIds& ids)
{
    const Reflection& reflection = *message.GetReflection();
    std::vector<const FieldDescriptor*> fields;
    reflection.ListFields(message, &fields);
    for (const FieldDescriptor* field : fields) {
        if (field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
            if (field->is_repeated()) {
                for (int i = 0; i < reflection.FieldSize(message, field); ++i) {
                    learn(reflection.GetRepeatedMessage(message, field, i), ids);
                }
            } else {
                learn(reflection.GetMessage(message, field), ids);
            }
        } else if (field->cpp_type() == FieldDescriptor::CPPTYPE_INT32 && isIdField(*field) && !field->is_repeated()) {
            ids.add(reflection.GetInt32(message, field));
        }
    }
}

}  // namespace Tarvent::VirtualChannel::TestSupport
