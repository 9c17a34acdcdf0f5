#include "app/ChaosClient.h"

#include <thread>
#include <utility>

#include "support/ChannelTestClient.h"
#include "transport/VCPacketHolder.h"

namespace Tarvent::VirtualChannel::TestSupport {

namespace {

constexpr std::uint8_t kCommand = 0;
// Chaos ids stay apart from the lanes' and the queries'.
constexpr std::uint64_t kChaosIdBase = 0x4348000000000000ULL;

}  // namespace

ChaosClient::ChaosClient(int port, std::uint64_t seed, KnownIds& ids, std::vector<std::string> soundFiles,
                         std::chrono::milliseconds closeTimeout)
    : port_(port), closeTimeout_(closeTimeout), fuzzer_(seed, ids, std::move(soundFiles))
{
}

void ChaosClient::fail(const std::string& why)
{
    if (result_.failure.empty()) {
        result_.failure = "chaos: " + why;
    }
}

std::vector<unsigned char> ChaosClient::command()
{
    int caseNumber = 0;
    ++result_.packets;
    return ChannelTestClient::encode(kCommand, kChaosIdBase | nextId_++, fuzzer_.payload(kMaxPayloadSize, caseNumber));
}

std::vector<unsigned char> ChaosClient::header(std::uint32_t length)
{
    VCPacketHolder packet;
    packet.length = length;
    packet.type = static_cast<std::uint8_t>(fuzzer_.random().below(3));
    packet.messageId = kChaosIdBase | nextId_++;
    std::vector<unsigned char> bytes(kPacketHeaderSize);
    VCPacketHolder::writeHeader(packet, bytes.data());
    ++result_.packets;
    return bytes;
}

void ChaosClient::sendCommands(ChannelTestClient& client, int count)
{
    std::vector<unsigned char> bytes;
    for (int i = 0; i < count; ++i) {
        const auto one = command();
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    client.sendRaw(bytes);
}

void ChaosClient::end(ChannelTestClient& client)
{
    if (fuzzer_.random().chance(0.5)) {
        client.reset();
    } else {
        client.close();
    }
}

void ChaosClient::expectClosed(ChannelTestClient& client, const std::string& what)
{
    if (!client.waitForClose(closeTimeout_)) {
        fail("the engine kept a connection open after " + what);
    }
    client.close();
}

void ChaosClient::runOne()
{
    FuzzRandom& random = fuzzer_.random();
    ChannelTestClient client(port_);
    if (!client.connected()) {
        fail("could not connect");
        return;
    }
    ++result_.connections;
    const auto kind = random.below(10);
    switch (kind) {
    case 0: {
        ++result_.kinds["header length below 16"];
        sendCommands(client, static_cast<int>(random.below(4)));
        const auto length = static_cast<std::uint32_t>(random.below(kPacketHeaderSize));
        client.sendRaw(header(length));
        expectClosed(client, "a header length of " + std::to_string(length));
        break;
    }
    case 1: {
        ++result_.kinds["header length above 2040"];
        sendCommands(client, static_cast<int>(random.below(4)));
        const auto length = random.chance(0.5) ? static_cast<std::uint32_t>(random.between(kMaxPacketSize + 1, 70000))
                                               : static_cast<std::uint32_t>(random.between(70000, 0xffffffffLL));
        auto bytes = header(length);
        const std::string tail = random.bytes(256);
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        client.sendRaw(bytes);
        expectClosed(client, "a header length of " + std::to_string(length));
        break;
    }
    case 2: {
        ++result_.kinds["packet cut short, then closed"];
        auto bytes = command();
        bytes.resize(static_cast<std::size_t>(random.below(bytes.size())));
        client.sendRaw(bytes);
        end(client);
        break;
    }
    case 3: {
        ++result_.kinds["length shorter than the bytes sent"];
        // The bytes past the claimed length are read as the next header.
        const std::string payload = fuzzer_.message().SerializeAsString();
        const std::size_t claimed = static_cast<std::size_t>(random.below(std::min<std::size_t>(payload.size(), kMaxPayloadSize) + 1));
        auto bytes = header(static_cast<std::uint32_t>(kPacketHeaderSize + claimed));
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        const std::string noise = random.bytes(64);
        bytes.insert(bytes.end(), noise.begin(), noise.end());
        client.sendRaw(bytes);
        if (random.chance(0.5)) {
            client.waitForClose(std::chrono::milliseconds(50));
        }
        end(client);
        break;
    }
    case 4: {
        ++result_.kinds["partial header, then closed"];
        auto bytes = header(static_cast<std::uint32_t>(random.between(kPacketHeaderSize, kMaxPacketSize)));
        bytes.resize(static_cast<std::size_t>(random.between(1, kPacketHeaderSize - 1)));
        client.sendRaw(bytes);
        end(client);
        break;
    }
    case 5:
        ++result_.kinds["reset while answers are on their way"];
        sendCommands(client, static_cast<int>(random.between(1, 40)));
        client.reset();
        break;
    case 6: {
        ++result_.kinds["raw bytes"];
        const std::string noise = random.bytes(8192);
        client.sendRaw(std::vector<unsigned char>(noise.begin(), noise.end()));
        ++result_.packets;
        end(client);
        break;
    }
    case 7:
        ++result_.kinds["connect, then reset"];
        client.reset();
        break;
    case 8: {
        ++result_.kinds["commands dripped a few bytes at a time"];
        const auto bytes = command();
        for (std::size_t at = 0; at < bytes.size();) {
            const std::size_t step = std::min<std::size_t>(bytes.size() - at, random.between(1, 40));
            client.sendRaw(std::vector<unsigned char>(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                                      bytes.begin() + static_cast<std::ptrdiff_t>(at + step)));
            at += step;
            if (random.chance(0.2)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        client.readPacket(std::chrono::milliseconds(200));
        end(client);
        break;
    }
    default:
        ++result_.kinds["commands, then half closed"];
        sendCommands(client, static_cast<int>(random.between(1, 8)));
        client.shutdownSending();
        client.waitForClose(std::chrono::milliseconds(200));
        end(client);
        break;
    }
}

}  // namespace Tarvent::VirtualChannel::TestSupport
