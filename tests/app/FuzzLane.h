#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "app/MessageFuzzer.h"
#include "platform/Socket.h"

namespace Tarvent::VirtualChannel::TestSupport {

class KnownIds;

// One client connection that streams fuzzed packets to the engine as fast as
// it takes them (writes pipelined, never waiting for an answer) while it
// reads whatever comes back. Every so many packets it sends a status query
// and keeps at most a few of them unanswered: that bounds what is in flight,
// and an engine that stops answering shows as a query not answered in time.
// What the engine sends is checked: every packet must be framed, every
// answer must parse and repeat the id of a command sent on this connection,
// and every status query must be answered with success. The engine's own
// commands (its notifications) are answered as the driver does, now and then
// twice, with a wrong id or not at all.
// Made and run on one thread; `ids` is shared and must outlive it.
class FuzzLane {
public:
    struct Options {
        int port = 0;
        std::uint64_t seed = 0;
        int number = 0;         // names the lane in ids and failures
        long packets = 0;       // fuzzed packets to send, the queries besides
        int queryEvery = 24;    // fuzzed packets between two status queries
        int queriesInFlight = 2;
        bool everyCaseFirst = false;  // begins with one command of each case, in schema order
        std::chrono::milliseconds answerTimeout{60000};
        std::vector<std::string> soundFiles;
    };

    struct Result {
        long packets = 0;        // everything sent, status queries included
        long answers = 0;        // answers to this lane's commands
        long engineCommands = 0; // notifications the engine sent here
        std::map<int, long> cases;
        std::string failure;     // empty when all went well
    };

    FuzzLane(Options options, KnownIds& ids);

    // Connects; false (and the failure set) when the engine can't be reached.
    bool connect();
    // Sends the packets and waits for the last status query's answer. Ends
    // early at the first failure, or when `stop` is set by another thread.
    void run(const std::atomic<bool>* stop = nullptr);
    // Then: an orderly or, now and then, an abortive close.
    void close();

    const Result& result() const { return result_; }
    // Fuzzed packets queued so far; any thread may ask.
    long progress() const { return fuzzed_.load(); }

    // The query that paces every lane, and how its answer is recognised.
    static std::string statusQuery();

private:
    void queuePacket(std::uint8_t type, std::uint64_t messageId, const std::string& payload, std::uint8_t code = 0);
    void queueFuzzed();
    void queueQuery();
    std::uint64_t commandId();
    bool flush();
    bool receive();
    bool handle(std::uint8_t type, std::uint64_t messageId, const std::string& payload);
    void answerEngineCommand(std::uint64_t messageId);
    void fail(const std::string& why);

    const Options options_;
    KnownIds& ids_;
    MessageFuzzer fuzzer_;
    const std::vector<int> sweep_;
    Socket socket_;
    std::string out_;
    std::size_t outSent_ = 0;
    std::vector<unsigned char> in_;
    std::uint64_t nextId_ = 1;
    std::uint64_t nextQuery_ = 1;
    std::atomic<long> fuzzed_{0};
    int sinceQuery_ = 0;
    // The status queries in flight and when each was sent, oldest first.
    std::deque<std::pair<std::uint64_t, std::chrono::steady_clock::time_point>> queries_;
    std::unordered_set<std::uint64_t> commandIds_;
    Result result_;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
