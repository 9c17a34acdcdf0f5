#include "sip/SipCodecs.h"

#include <algorithm>
#include <cctype>

#include <linphone++/linphone.hh>

namespace Tarvent::VirtualChannel::SipCodecs {

namespace {

// RFC 3551 keeps G.722's RTP clock at 8000 Hz for a 16000 Hz codec.
constexpr int kG722RtpClockRate = 8000;
constexpr int kG722SampleRate = 16000;

bool isG722(const std::string& name)
{
    return name == "G722";
}

// Codec ids are compared like the codec names in SDP: case-insensitively.
bool sameId(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

int clockRate(const linphone::PayloadType& payloadType)
{
    const int rate = payloadType.getClockRate();
    return isG722(payloadType.getMimeType()) && rate == kG722RtpClockRate ? kG722SampleRate : rate;
}

std::string codecId(const linphone::PayloadType& payloadType)
{
    return payloadType.getMimeType() + "/" + std::to_string(clockRate(payloadType)) + "/" +
           std::to_string(payloadType.getChannels());
}

std::shared_ptr<linphone::PayloadType> findAudio(linphone::Core& core, const std::string& id)
{
    for (const auto& payloadType : core.getAudioPayloadTypes()) {
        if (sameId(codecId(*payloadType), id)) {
            return payloadType;
        }
    }
    return nullptr;
}

}  // namespace Tarvent::VirtualChannel::SipCodecs
