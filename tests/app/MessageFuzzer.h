#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/FuzzRandom.h"
#include "proto/citrixMessage.pb.h"

namespace google::protobuf {
class FieldDescriptor;
}

namespace Tarvent::VirtualChannel::TestSupport {

class KnownIds;

// Builds commands for the engine from the message schema itself: any member
// of the envelope's one-of (actions, and the answers and notifications the
// engine never expects), every field filled by type with hostile values,
// ids taken from the engine's own answers as often as made up. Cases that
// make the engine do slow work (a stack restart, packing the log) come
// rarely, the rest alike often. One thread; `ids` is shared and must
// outlive it.
class MessageFuzzer {
public:
    using Message = Proto::CitrixMessage;

    MessageFuzzer(std::uint64_t seed, KnownIds& ids, std::vector<std::string> soundFiles);

    // A command of a case chosen by weight, or of the one-of field `number`.
    Message message();
    Message message(int number);
    // The next payload: a message's bytes (its case in `caseNumber`),
    // sometimes damaged, or now and then arbitrary bytes (case 0); at most
    // `maxSize` bytes.
    std::string payload(std::size_t maxSize, int& caseNumber);
    // The same for a message of the one-of field `number`.
    std::string payloadOf(int number, std::size_t maxSize);

    FuzzRandom& random() { return random_; }

    // Every id the engine named in `message` (objects, accounts, calls, devices).
    static void learn(const google::protobuf::Message& message, KnownIds& ids);
    // The field numbers of the envelope's one-of, in schema order.
    static std::vector<int> caseNumbers();

private:
    void fill(google::protobuf::Message& message, int depth);
    void fillField(google::protobuf::Message& message, const google::protobuf::FieldDescriptor& field, int depth);
    std::int32_t idValue();
    std::string textFor(const google::protobuf::FieldDescriptor& field);
    int pickCase();

    FuzzRandom random_;
    KnownIds& ids_;
    const std::vector<std::string> soundFiles_;
    std::vector<int> cases_;
    std::vector<double> cumulativeWeights_;
    // The longest text of the message being built: mostly short, at times
    // as long as a packet, so that some messages no longer fit one.
    std::size_t textLimit_ = 64;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
