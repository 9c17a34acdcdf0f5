// Command round trips through the channel (dispatcher + transmitter, the
// command handler answering on the worker thread, the log going to a
// FileAppender) against a plain blocking TCP echo over loopback, on one
// connection each. The channel is measured twice: as it is, and with the two
// lines that request handling logs per command. Goal: p50 at most 1.5x the
// echo's, throughput at least 0.7x the echo's.
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
#include "transport/PacketDispatcher.h"
#include "transport/PacketTransmitter.h"
#include "transport/VCPacketHolder.h"

namespace Tarvent::VirtualChannel {
namespace {

using Clock = std::chrono::steady_clock;

// Both servers run side by side and are measured in alternating blocks, so
// that load from elsewhere on the machine falls on both alike.
constexpr int kWarmup = 2000;
constexpr int kBlock = 2000;
constexpr int kBlocks = 15;

struct Figures {
    double p50Us = 0;
    double p99Us = 0;
    double perSecond = 0;
};

// The samples and the time spent in the blocks of one server.
struct Samples {
    std::vector<double> roundTripsUs;
    double seconds = 0;

    Figures figures()
    {
        std::sort(roundTripsUs.begin(), roundTripsUs.end());
        const std::size_t n = roundTripsUs.size();
        return {roundTripsUs[n / 2], roundTripsUs[n * 99 / 100], static_cast<double>(n) / seconds};
    }
};

std::vector<unsigned char> makeCommand(std::uint64_t messageId)
{
    const std::string payload(64, 'c');  // about the size of a typical serialized action
    VCPacketHolder packet;
    packet.length = kPacketHeaderSize + static_cast<std::uint32_t>(payload.size());
    packet.messageId = messageId;
    std::vector<unsigned char> bytes(packet.length);
    VCPacketHolder::writeHeader(packet, bytes.data());
    std::copy(payload.begin(), payload.end(), bytes.begin() + kPacketHeaderSize);
    return bytes;
}

class RoundTripClient {
public:
    explicit RoundTripClient(int port) : socket_(Socket::connectLoopback(port)), command_(makeCommand(1))
    {
        if (!socket_.valid() || !socket_.setNoDelay()) {
            std::fprintf(stderr, "connect failed\n");
            std::exit(1);
        }
    }

    void run(int count, Samples* samples)
    {
        const auto blockBegin = Clock::now();
        for (int i = 0; i < count; ++i) {
            command_[15] = static_cast<unsigned char>(i);
            const auto start = Clock::now();
            if (!socket_.sendAll(command_.data(), command_.size()) ||
                readFramedPacket(socket_, answer_) != command_.size()) {
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

    void close() { socket_.close(); }

private:
    Socket socket_;
    std::vector<unsigned char> command_;
    unsigned char answer_[kMaxPacketSize] = {};
};

PacketTransmitter* benchTransmitter = nullptr;
// Set between blocks on the client thread, read on the worker: the socket
// round trip orders the accesses.
bool handlerLogs = false;

// Answers at once; with handlerLogs also writes the two lines that the
// engine's request handling writes around each answer (received, sending).
void answerCommand(void*, const void* payload, int size, std::uint64_t messageId)
{
    if (handlerLogs) {
            logInfo("Received message BenchAction: messageId=%llu; size=%d", static_cast<unsigned long long>(messageId), size);
        logInfo("Sending message BenchResponse: messageId=%llu; statusCode=%d",
                static_cast<unsigned long long>(messageId), 0);
    }
    benchTransmitter->sendAnswer(payload, size, messageId);
}

void print(const char* name, const Figures& f)
{
    std::printf("%-28s p50 %7.1f us   p99 %7.1f us   %9.0f round trips/s\n", name, f.p50Us, f.p99Us, f.perSecond);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel

int main()
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
    Logger::instance().addAppender(std::make_unique<FileAppender>(config));

    Samples echoSamples;
    Samples channelSamples;
    Samples loggedSamples;
    {
        EchoServer echo;
        PacketDispatcher dispatcher;
        PacketTransmitter transmitter(&dispatcher);
        benchTransmitter = &transmitter;
        transmitter.setCommandHandler(answerCommand);
        transmitter.start();
        if (!dispatcher.start()) {
            std::fprintf(stderr, "dispatcher failed to start\n");
            return 1;
        }
        RoundTripClient echoClient(echo.port());
        RoundTripClient channelClient(dispatcher.port());
        echoClient.run(kWarmup, nullptr);
        channelClient.run(kWarmup, nullptr);
        for (int block = 0; block < kBlocks; ++block) {
            echoClient.run(kBlock, &echoSamples);
            handlerLogs = false;
            channelClient.run(kBlock, &channelSamples);
            handlerLogs = true;
            channelClient.run(kBlock, &loggedSamples);
        }
        echoClient.close();
        channelClient.close();
        dispatcher.requestStop();
        dispatcher.join();
        transmitter.stop();
    }
    const Figures echo = echoSamples.figures();
    const Figures channel = channelSamples.figures();
    const Figures logged = loggedSamples.figures();
    Logger::instance().removeAllAppenders();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);

    print("plain TCP echo", echo);
    print("channel command round trip", channel);
    print("  + 2 handler log lines", logged);
    for (const Figures* f : {&channel, &logged}) {
        const double latencyRatio = f->p50Us / echo.p50Us;
        const double throughputRatio = f->perSecond / echo.perSecond;
        std::printf("%-28s p50 ratio %.2f (goal <= 1.5), throughput ratio %.2f (goal >= 0.7): %s\n",
                    f == &channel ? "channel" : "channel + handler lines", latencyRatio, throughputRatio,
                    latencyRatio <= 1.5 && throughputRatio >= 0.7 ? "goal met" : "goal missed");
    }
    return 0;
}
