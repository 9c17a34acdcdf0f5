#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "app/MessageFuzzer.h"

namespace Tarvent::VirtualChannel::TestSupport {

class ChannelTestClient;
class KnownIds;

// Short-lived connections that break the framing or vanish mid-way: header
// lengths below 16 and above 2040, lengths that disagree with the bytes
// sent, packets cut off by a close or a reset, raw byte streams, commands
// dripped a few bytes at a time, resets while answers are on their way. A
// connection whose header length is out of range must be closed by the
// engine; nothing else is expected of it but to survive.
// One thread; `ids` is shared and must outlive it.
class ChaosClient {
public:
    struct Result {
        long connections = 0;
        long packets = 0;  // complete or not
        std::map<std::string, long> kinds;
        std::string failure;  // empty when all went well
    };

    ChaosClient(int port, std::uint64_t seed, KnownIds& ids, std::vector<std::string> soundFiles,
                std::chrono::milliseconds closeTimeout);

    // One misbehaving connection, of a kind chosen at random.
    void runOne();
    const Result& result() const { return result_; }

private:
    std::vector<unsigned char> command();
    std::vector<unsigned char> header(std::uint32_t length);
    void sendCommands(ChannelTestClient& client, int count);
    void end(ChannelTestClient& client);
    void expectClosed(ChannelTestClient& client, const std::string& what);
    void fail(const std::string& why);

    const int port_;
    const std::chrono::milliseconds closeTimeout_;
    MessageFuzzer fuzzer_;
    std::uint64_t nextId_ = 1;
    Result result_;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
