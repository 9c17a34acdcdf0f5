// The engine's command round trip: a SipStackStatusQuery sent by a client on
// loopback, read by the dispatcher, handed through the transmitter to the
// PacketHandler, which logs it, answers it and logs the answer into a
// FileAppender, against a plain blocking TCP echo of a packet of the same
// size, measured in alternating blocks in the same run.
// Goal: p50 at most 1.5x the echo's. The log is written behind (as the
// engine does); "--sync" writes every line before append() returns.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "EchoServer.h"
#include "logging/FileAppender.h"
#include "logging/Logger.h"
#include "platform/Socket.h"
#include "proto/citrixMessage.pb.h"
#include "service/PacketHandler.h"
#include "service/SipStackFacade.h"
#include "transport/PacketDispatcher.h"
#include "transport/PacketTransmitter.h"
#include "transport/VCPacketHolder.h"

namespace Tarvent::VirtualChannel {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWarmup = 2000;
constexpr int kBlock = 2000;
constexpr int kBlocks = 15;

struct Samples {
    std::vector<double> roundTripsUs;
    double seconds = 0;

    double percentile(int p)
    {
        std::sort(roundTripsUs.begin(), roundTripsUs.end());
        return roundTripsUs[roundTripsUs.size() * static_cast<std::size_t>(p) / 100];
    }
    double perSecond() const { return static_cast<double>(roundTripsUs.size()) / seconds; }
};

std::vector<unsigned char> frame(std::uint8_t type, const std::string& payload)
{
    VCPacketHolder packet;
    packet.type = type;
    packet.length = kPacketHeaderSize + static_cast<std::uint32_t>(payload.size());
    std::vector<unsigned char> bytes(packet.length);
    VCPacketHolder::writeHeader(packet, bytes.data());
    std::copy(payload.begin(), payload.end(), bytes.begin() + kPacketHeaderSize);
    return bytes;
}

// Sends `request` and waits for any packet back, `count` times.
void roundTrips(Socket& socket, std::vector<unsigned char> request, int count, Samples* samples)
{
    unsigned char answer[kMaxPacketSize];
    const auto blockBegin = Clock::now();
    for (int i = 0; i < count; ++i) {
        request[15] = static_cast<unsigned char>(i + 1);  // low byte of the message id
        const auto start = Clock::now();
        if (!socket.sendAll(request.data(), request.size()) || readFramedPacket(socket, answer) == 0) {
            std::fprintf(stderr, "round trip %d failed\n", i);
            std::exit(1);
        }
        if (samples != nullptr) {
            samples->roundTripsUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    }
    if (samples != nullptr) {
        samples->seconds += std::chrono::duration<double>(Clock::now() - blockBegin).count();
    }
}

Socket connect(int port)
{
    Socket socket = Socket::connectLoopback(port);
    if (!socket.valid() || !socket.setNoDelay()) {
        std::fprintf(stderr, "connect failed\n");
        std::exit(1);
    }
    return socket;
}

}  // namespace
}  // namespace Tarvent::VirtualChannel

int main(int argc, char** argv)
{
    using namespace Tarvent::VirtualChannel;
    std::string folder = (std::filesystem::temp_directory_path() / "ovra-bench-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    FileAppenderConfig config;
    config.directory = folder + "/log";
    config.fileName = "ovra";
    config.maxFileCount = 2;
    config.writeBehind = !(argc > 1 && std::string(argv[1]) == "--sync");
    Logger::instance().addAppender(std::make_unique<FileAppender>(config));

    Proto::CitrixMessage query;
    query.mutable_sipstackstatusquery();
    const std::vector<unsigned char> request = frame(0, query.SerializeAsString());

    Samples echoSamples;
    Samples handlerSamples;
    {
        EchoServer echo;

        PacketDispatcher dispatcher;
        PacketTransmitter transmitter(&dispatcher);
        SipStackFacade facade;
        auto handler = std::make_unique<PacketHandler>(&transmitter);
        handler->setSipStackFacade(&facade);
        handler->initProtocolVersion();
        transmitter.start();
        if (!dispatcher.start()) {
            std::fprintf(stderr, "dispatcher failed to start\n");
            return 1;
        }
        Socket echoClient = connect(echo.port());
        Socket handlerClient = connect(dispatcher.port());
        roundTrips(echoClient, request, kWarmup, nullptr);
        roundTrips(handlerClient, request, kWarmup, nullptr);
        for (int block = 0; block < kBlocks; ++block) {
            roundTrips(echoClient, request, kBlock, &echoSamples);
            roundTrips(handlerClient, request, kBlock, &handlerSamples);
        }
        echoClient.close();
        handlerClient.close();
        dispatcher.requestStop();
        dispatcher.join();
        handler->stopIdleTimer();
        handler.reset();
    }
    Logger::instance().removeAllAppenders();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);

    const double echoP50 = echoSamples.percentile(50);
    const double handlerP50 = handlerSamples.percentile(50);
    std::printf("%-30s p50 %7.1f us   p99 %7.1f us   %9.0f round trips/s\n", "plain TCP echo", echoP50,
                echoSamples.percentile(99), echoSamples.perSecond());
    std::printf("%-30s p50 %7.1f us   p99 %7.1f us   %9.0f round trips/s\n", "SipStackStatusQuery (handler)",
                handlerP50, handlerSamples.percentile(99), handlerSamples.perSecond());
    const double ratio = handlerP50 / echoP50;
    std::printf("p50 ratio %.2f (goal <= 1.5): %s\n", ratio, ratio <= 1.5 ? "goal met" : "goal missed");
    return 0;
}
