#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace Tarvent::VirtualChannel {

// Keeps the raw text of recently received dialog-creating INVITEs by Call-ID,
// read from the SIP library's own message log: its transport layer logs every
// read from the network (domain "belle-sip", Message level) as
//   channel [<id>]: received [<n>] new bytes from [<TRANSPORT>://<host>:<port>]:\n<bytes>
// Datagram reads are whole messages; stream reads (TCP, TLS) are put back
// together per channel by Content-Length. The library logs at most 7000 bytes
// of one read and stops at the first byte that is not valid text, so a message
// is kept as complete only when every byte of it was logged and its body is as
// long as its Content-Length says; otherwise it is kept as incomplete and the
// caller falls back to what the call itself exposes.
// Memory is bounded: at most `maxInvites` messages, none older than `maxAge`,
// at most `maxChannels` stream channels of at most `maxChannelBytes` each.
// Any thread: the library logs on its core thread, takeInvite() comes from
// the account's incoming-call handling. `mutex_` is a leaf lock.
class SipMessageTap {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    struct Limits {
        std::size_t maxInvites = 16;
        std::chrono::milliseconds maxAge{60000};
        std::size_t maxChannels = 32;
        std::size_t maxChannelBytes = 64 * 1024;
    };

    struct Invite {
        bool complete = false;
        std::string text;  // the message as received; only a prefix of it when incomplete
    };

    // The library's log domain and level bit of the records read here.
    static const char* const kLogDomain;
    static constexpr unsigned kMessageLevel = 1u << 2;

    SipMessageTap();
    explicit SipMessageTap(Limits limits, Now now = &Clock::now);

    // Adds the Message level to the library's mask for kLogDomain. The library
    // resets that mask whenever its log level changes: call this after each change.
    static void enableReceivedMessageLogging();

    // True for the records this tap reads (kLogDomain at Message level): with
    // the SIP log off they exist only for the tap and stay out of the engine log.
    static bool isTapRecord(const std::string& domain, unsigned level);

    // Feeds one record of the library's log; anything but a received-bytes
    // record of kLogDomain at Message level is ignored.
    void onLogRecord(const std::string& domain, unsigned level, const std::string& message);

    // Removes and returns the INVITE received with `callId`, complete or not;
    // nothing when none was seen (or it was evicted).
    std::optional<Invite> take(const std::string& callId);
    // The complete text of that INVITE; nothing when it is missing or incomplete.
    std::optional<std::string> takeInvite(const std::string& callId);

    // Forgets every message and every channel.
    void clear();

    std::size_t size();

private:
    struct Entry {
        Clock::time_point received;
        Invite invite;
    };
    struct Channel {
        Clock::time_point lastUsed;
        std::string data;       // unparsed bytes of the stream
        bool resync = false;    // bytes were lost: wait for a read that starts a message
    };

    void onReceived(const std::string& channelId, bool stream, const std::string& bytes, bool complete);
    void onDatagram(const std::string& bytes, bool complete);
    void onStream(Channel& channel, const std::string& bytes, bool complete);
    // Takes every whole message off the front of `channel.data`.
    void drainStream(Channel& channel);
    Channel& channelFor(const std::string& channelId);
    void keep(const std::string& text, bool complete);
    void evict();

    const Limits limits_;
    const Now now_;
    std::mutex mutex_;  // guards invites_ and channels_; lock order level 4 (leaf)
    std::map<std::string, Entry> invites_;     // by Call-ID
    std::map<std::string, Channel> channels_;  // stream channels by the library's channel id
};

}  // namespace Tarvent::VirtualChannel
