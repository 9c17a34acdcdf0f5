#pragma once

#include <memory>
#include <string>

namespace linphone {
class Core;
class PayloadType;
}  // namespace linphone

namespace Tarvent::VirtualChannel {

// Codec ids ("name/rate/channels") over the Core's audio payload types.
// Core thread only.
namespace SipCodecs {

// The codec's sampling rate: its clock rate, except for G.722, whose RTP
// clock rate (what the library reports) is 8000 for a 16000 Hz codec.
int clockRate(const linphone::PayloadType& payloadType);

// "PCMA/8000/1", with the sampling rate: "G722/16000/1".
std::string codecId(const linphone::PayloadType& payloadType);

// The audio payload type with that id, or null when the build lacks it.
std::shared_ptr<linphone::PayloadType> findAudio(linphone::Core& core, const std::string& id);

}  // namespace SipCodecs

}  // namespace Tarvent::VirtualChannel
