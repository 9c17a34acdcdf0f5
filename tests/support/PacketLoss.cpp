#include "support/PacketLoss.h"

#include <stdexcept>
#include <vector>

#include "support/ChildProcess.h"

namespace Tarvent::VirtualChannel::TestSupport {

namespace {

const char* const kTable = "ovra_packet_loss";

ChildProcess::Result nft(const std::vector<std::string>& arguments)
{
    std::vector<std::string> argv{"nft"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return ChildProcess::run(argv);
}

}  // namespace

PacketLoss::PacketLoss(int percent)
{
    if (percent < 0 || percent > 100) {
        throw std::runtime_error("Packet loss out of range: " + std::to_string(percent));
    }
    // Dropped on the way in: the sender sees no error, as on a real path.
    // The UDP payload's first two bits are the RTP version (2).
    const std::vector<std::vector<std::string>> steps{
        {"add", "table", "inet", kTable},
        {"add", "chain", "inet", kTable, "in", "{ type filter hook input priority 0; policy accept; }"},
        {"add", "rule", "inet", kTable, "in", "meta", "l4proto", "udp", "@th,64,2", "2", "numgen", "random", "mod",
         "100", "lt", std::to_string(percent), "drop"},
    };
    for (const auto& step : steps) {
        const ChildProcess::Result result = nft(step);
        if (result.status != 0) {
            nft({"delete", "table", "inet", kTable});
            throw std::runtime_error("nft failed (" + std::to_string(result.status) + "): " + result.output);
        }
    }
}

PacketLoss::~PacketLoss()
{
    nft({"delete", "table", "inet", kTable});
}

std::string PacketLoss::ruleset()
{
    return nft({"list", "ruleset"}).output;
}

}  // namespace Tarvent::VirtualChannel::TestSupport
