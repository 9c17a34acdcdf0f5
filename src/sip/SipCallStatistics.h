#pragma once

#include <cstdint>

namespace Tarvent::VirtualChannel {

// Per-call media counters for a quality report: totals of the audio stream's
// RTP traffic and their change since the previous update, and the call's
// quality on the 0-5 scale as the media library rates it (kNoRatingMos until
// it has rated the call). Plain value type; any thread.
struct SipCallStatistics {
    static constexpr float kNoRatingMos = 4.5f;

    std::int32_t accountId = -1;  // filled in by the call service
    std::int32_t callId = -1;     // likewise
    std::int64_t lastUpdateTime = 0;  // steady clock, nanoseconds
    std::int32_t durationDelta = 0;   // milliseconds between the last two updates
    float averageMos = kNoRatingMos;
    float txMos = kNoRatingMos;
    std::int32_t txPackets = 0;
    std::int32_t txBytes = 0;
    std::int32_t txPacketsDelta = 0;
    std::int32_t txBytesDelta = 0;
    float rxMos = kNoRatingMos;
    std::int32_t rxPackets = 0;
    std::int32_t rxBytes = 0;
    std::int32_t rxPacketsDelta = 0;
    std::int32_t rxBytesDelta = 0;
};

}  // namespace Tarvent::VirtualChannel
