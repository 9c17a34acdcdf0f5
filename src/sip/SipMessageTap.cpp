#include "sip/SipMessageTap.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include <bctoolbox/logging.h>

#include "sip/SipHeaderMap.h"

namespace Tarvent::VirtualChannel {

namespace {

constexpr std::string_view kChannelPrefix = "channel [";
constexpr std::string_view kReceivedInfix = "]: received [";
constexpr std::string_view kBytesInfix = "] new bytes from [";
constexpr std::string_view kPeerEnd = "]:\n";
constexpr std::string_view kDestroyedPrefix = "Channel [";
constexpr std::string_view kDestroyedSuffix = "] destroyed";
// What the library writes in place of the bytes it did not log.
constexpr std::string_view kBinaryMarker = "... (binary data)";
constexpr std::string_view kShownMarkerBegin = "... (first ";
constexpr std::string_view kShownMarkerEnd = " bytes shown)";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool parseSize(std::string_view digits, std::size_t& value)
{
    if (digits.empty() || digits.size() > 9) {
        return false;
    }
    std::size_t result = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        result = result * 10 + static_cast<std::size_t>(c - '0');
    }
    value = result;
    return true;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())) != 0) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())) != 0) {
        text.remove_suffix(1);
    }
    return text;
}

std::string_view skipLineBreaks(std::string_view text)
{
    while (!text.empty() && (text.front() == '\r' || text.front() == '\n')) {
        text.remove_prefix(1);
    }
    return text;
}

// A request line ("METHOD uri SIP/2.0") or a status line ("SIP/2.0 code ...").
bool startsMessage(std::string_view text)
{
    text = skipLineBreaks(text);
    const std::size_t lineEnd = text.find("\r\n");
    if (lineEnd == std::string_view::npos) {
        return false;
    }
    const std::string_view line = text.substr(0, lineEnd);
    return startsWith(line, "SIP/2.0 ") || endsWith(line, " SIP/2.0");
}

// How much of a read the record holds: all `count` bytes, or only `logged`.
struct Payload {
    std::string_view logged;
    bool whole = false;
};

Payload loggedPart(std::string_view payload, std::size_t count)
{
    if (endsWith(payload, kBinaryMarker)) {
        return {payload.substr(0, payload.size() - kBinaryMarker.size()), false};
    }
    if (endsWith(payload, kShownMarkerEnd)) {
        const std::size_t begin = payload.rfind(kShownMarkerBegin);
        std::size_t shown = 0;
        if (begin != std::string_view::npos &&
            parseSize(payload.substr(begin + kShownMarkerBegin.size(),
                                     payload.size() - kShownMarkerEnd.size() - begin - kShownMarkerBegin.size()),
                      shown) &&
            shown == begin) {
            return {payload.substr(0, begin), false};
        }
    }
    if (payload.size() == count) {
        return {payload, true};
    }
    // Longer reads are cut at the library's limit without a marker.
    return {payload.substr(0, std::min(payload.size(), count)), false};
}

bool hasToTag(const std::string& to)
{
    std::string lower(to);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.find(";tag=") != std::string::npos;
}

}  // namespace

const char* const SipMessageTap::kLogDomain = "belle-sip";

SipMessageTap::SipMessageTap() : SipMessageTap(Limits()) {}

SipMessageTap::SipMessageTap(Limits limits, Now now) : limits_(limits), now_(std::move(now)) {}

void SipMessageTap::enableReceivedMessageLogging()
{
    bctbx_set_log_level_mask(kLogDomain, static_cast<int>(bctbx_get_log_level_mask(kLogDomain) | BCTBX_LOG_MESSAGE));
}

bool SipMessageTap::isTapRecord(const std::string& domain, unsigned level)
{
    return level == kMessageLevel && domain == kLogDomain;
}

void SipMessageTap::onLogRecord(const std::string& domain, unsigned level, const std::string& message)
{
    if (!isTapRecord(domain, level)) {
        return;
    }
    const std::string_view text(message);
    if (startsWith(text, kDestroyedPrefix) && endsWith(text, kDestroyedSuffix)) {
        const std::string channelId(text.substr(kDestroyedPrefix.size(),
                                                text.size() - kDestroyedPrefix.size() - kDestroyedSuffix.size()));
        const std::lock_guard<std::mutex> lock(mutex_);
        channels_.erase(channelId);
        return;
    }
    if (!startsWith(text, kChannelPrefix)) {
        return;
    }
    const std::size_t idEnd = text.find(kReceivedInfix, kChannelPrefix.size());
    if (idEnd == std::string_view::npos) {
        return;
    }
    const std::size_t countBegin = idEnd + kReceivedInfix.size();
    const std::size_t countEnd = text.find(kBytesInfix, countBegin);
    std::size_t count = 0;
    if (countEnd == std::string_view::npos || !parseSize(text.substr(countBegin, countEnd - countBegin), count)) {
        return;
    }
    const std::size_t peerBegin = countEnd + kBytesInfix.size();
    const std::size_t transportEnd = text.find("://", peerBegin);
    const std::size_t peerEnd = text.find(kPeerEnd, peerBegin);
    if (transportEnd == std::string_view::npos || peerEnd == std::string_view::npos || transportEnd > peerEnd) {
        return;
    }
    const std::string_view transport = text.substr(peerBegin, transportEnd - peerBegin);
    const bool stream = transport != "UDP" && transport != "udp" && transport != "DTLS" && transport != "dtls";
    const Payload payload = loggedPart(text.substr(peerEnd + kPeerEnd.size()), count);
    onReceived(std::string(text.substr(kChannelPrefix.size(), idEnd - kChannelPrefix.size())), stream,
               std::string(payload.logged), payload.whole);
}

void SipMessageTap::onReceived(const std::string& channelId, bool stream, const std::string& bytes, bool complete)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (stream) {
        onStream(channelFor(channelId), bytes, complete);
    } else {
        onDatagram(bytes, complete);
    }
}

void SipMessageTap::onDatagram(const std::string& bytes, bool complete)
{
    keep(std::string(skipLineBreaks(bytes)), complete);
}

void SipMessageTap::onStream(Channel& channel, const std::string& bytes, bool complete)
{
    channel.lastUsed = now_();
    if (channel.resync) {
        // Bytes of the stream are missing: only a read that begins with a
        // start line is known to begin a message.
        if (!complete || !startsMessage(bytes)) {
            return;
        }
        channel.resync = false;
        channel.data.clear();
    }
    channel.data += bytes;
    drainStream(channel);
    if (!complete) {
        // The rest of the message under way was not logged.
        keep(channel.data, false);
        channel.data.clear();
        channel.resync = true;
    }
}

void SipMessageTap::drainStream(Channel& channel)
{
    while (true) {
        const std::string_view rest = skipLineBreaks(channel.data);
        channel.data.erase(0, channel.data.size() - rest.size());
        const std::size_t headerEnd = channel.data.find(kHeaderEnd);
        if (headerEnd == std::string::npos) {
            if (channel.data.size() > limits_.maxChannelBytes) {
                channel.data.clear();
                channel.resync = true;
            }
            return;
        }
        const std::size_t bodyBegin = headerEnd + kHeaderEnd.size();
        const SipHeaderMap headers(channel.data.substr(0, headerEnd).c_str());
        const std::string lengthText(trimmed(headers.get("Content-Length")));
        std::size_t length = 0;
        if (!lengthText.empty() && !parseSize(lengthText, length)) {
            keep(channel.data, false);
            channel.data.clear();
            channel.resync = true;
            return;
        }
        if (channel.data.size() < bodyBegin + length) {
            if (bodyBegin + length > limits_.maxChannelBytes) {
                keep(channel.data, false);
                channel.data.clear();
                channel.resync = true;
            }
            return;
        }
        keep(channel.data.substr(0, bodyBegin + length), true);
        channel.data.erase(0, bodyBegin + length);
    }
}

SipMessageTap::Channel& SipMessageTap::channelFor(const std::string& channelId)
{
    const auto found = channels_.find(channelId);
    if (found != channels_.end()) {
        return found->second;
    }
    if (channels_.size() >= limits_.maxChannels) {
        const auto oldest = std::min_element(channels_.begin(), channels_.end(), [](const auto& a, const auto& b) {
            return a.second.lastUsed < b.second.lastUsed;
        });
        channels_.erase(oldest);
    }
    return channels_[channelId];
}

void SipMessageTap::keep(const std::string& text, bool complete)
{
    if (!startsWith(text, "INVITE ")) {
        return;
    }
    std::size_t headerEnd = text.find(kHeaderEnd);
    if (headerEnd == std::string::npos) {
        // Only header lines that arrived whole count.
        complete = false;
        headerEnd = text.rfind("\r\n");
        if (headerEnd == std::string::npos) {
            return;
        }
    }
    const SipHeaderMap headers(text.substr(0, headerEnd).c_str());
    const std::string callId(trimmed(headers.get("Call-ID")));
    if (callId.empty() || hasToTag(headers.get("To"))) {
        return;
    }
    std::string message = text;
    if (complete) {
        const std::size_t bodyBegin = headerEnd + kHeaderEnd.size();
        const std::string lengthText(trimmed(headers.get("Content-Length")));
        std::size_t length = message.size() - bodyBegin;
        if (!lengthText.empty() && !parseSize(lengthText, length)) {
            complete = false;
        } else if (message.size() < bodyBegin + length) {
            complete = false;
        } else {
            // A datagram may carry bytes after the body; they are not part of it.
            message.resize(bodyBegin + length);
        }
    }
    Entry& entry = invites_[callId];
    entry.received = now_();
    entry.invite.complete = complete;
    entry.invite.text = std::move(message);
    evict();
}

void SipMessageTap::evict()
{
    const Clock::time_point now = now_();
    for (auto it = invites_.begin(); it != invites_.end();) {
        it = now - it->second.received > limits_.maxAge ? invites_.erase(it) : std::next(it);
    }
    while (invites_.size() > limits_.maxInvites) {
        const auto oldest = std::min_element(invites_.begin(), invites_.end(), [](const auto& a, const auto& b) {
            return a.second.received < b.second.received;
        });
        invites_.erase(oldest);
    }
}

std::optional<SipMessageTap::Invite> SipMessageTap::take(const std::string& callId)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    evict();
    const auto found = invites_.find(callId);
    if (found == invites_.end()) {
        return std::nullopt;
    }
    Invite invite = std::move(found->second.invite);
    invites_.erase(found);
    return invite;
}

std::optional<std::string> SipMessageTap::takeInvite(const std::string& callId)
{
    std::optional<Invite> invite = take(callId);
    if (!invite || !invite->complete) {
        return std::nullopt;
    }
    return std::move(invite->text);
}

void SipMessageTap::clear()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    invites_.clear();
    channels_.clear();
}

std::size_t SipMessageTap::size()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return invites_.size();
}

}  // namespace Tarvent::VirtualChannel
