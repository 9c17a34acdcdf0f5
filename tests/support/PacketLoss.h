#pragma once

#include <string>

namespace Tarvent::VirtualChannel::TestSupport {

// A lossy media path in the test's loopback-only network namespace: while
// the object lives, the kernel drops about `percent` of the received UDP
// packets that look like RTP or RTCP (version 2 in the first payload byte),
// at random; SIP is left alone, so that only the media suffers. Needs the
// namespace's root (NETNS tests) and nft. Test thread only.
class PacketLoss {
public:
    // Throws std::runtime_error when the rule can't be put in place.
    explicit PacketLoss(int percent);
    ~PacketLoss();

    PacketLoss(const PacketLoss&) = delete;
    PacketLoss& operator=(const PacketLoss&) = delete;

    // The rules as the kernel holds them (for failure messages).
    static std::string ruleset();
};

}  // namespace Tarvent::VirtualChannel::TestSupport
