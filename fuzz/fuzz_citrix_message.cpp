// Feeds arbitrary payloads to the envelope parser, as the packet handler does
// with every packet the channel delivers.

#include <google/protobuf/stubs/logging.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "proto/citrixMessage.pb.h"

namespace {

using Tarvent::VirtualChannel::Proto::CitrixMessage;

// A broken invariant is reported like a crash so that libFuzzer keeps the input.
[[noreturn]] void fail()
{
    __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Invalid UTF-8 is reported on the runtime's own log; at fuzzing speed that
    // is only noise. Fatal runtime errors still abort.
    google::protobuf::SetLogHandler(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CitrixMessage message;
    const bool parsed = message.ParseFromArray(data, static_cast<int>(size));

    // Even a failed parse leaves a (partly filled) member that may get logged.
    // Printing walks the descriptors; a set member always prints, if only as "name {}".
    const CitrixMessage::InnerCase innerCase = message.inner_case();
    if (innerCase != CitrixMessage::INNER_NOT_SET && message.DebugString().empty())
        fail();
    if (!parsed)
        return 0;

    // What parsed must serialise, parse back to the same member and then
    // serialise to the very same bytes.
    const std::string wire = message.SerializeAsString();
    CitrixMessage again;
    if (!again.ParseFromString(wire))
        fail();
    if (again.inner_case() != innerCase)
        fail();
    if (again.SerializeAsString() != wire)
        fail();
    return 0;
}
