#include "sip/SipMessageTap.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;

constexpr unsigned kMessage = SipMessageTap::kMessageLevel;

std::string invite(const std::string& callId, const std::string& body = "v=0\r\n", const std::string& to = "<sip:bob@h>",
                   const std::string& extra = "")
{
    return "INVITE sip:bob@127.0.0.1 SIP/2.0\r\n"
           "Via: SIP/2.0/UDP 127.0.0.1:5070;branch=z9hG4bK1\r\n"
           "From: <sip:alice@h>;tag=1\r\n"
           "To: " + to + "\r\n"
           "Call-ID: " + callId + "\r\n"
           "CSeq: 1 INVITE\r\n" + extra +
           "Content-Type: application/sdp\r\n"
           "Content-Length: " + std::to_string(body.size()) + "\r\n"
           "\r\n" + body;
}

// A record as the library writes it for `count` bytes read, of which `logged` appear.
std::string record(const std::string& channel, const std::string& transport, std::size_t count, const std::string& logged)
{
    return "channel [" + channel + "]: received [" + std::to_string(count) + "] new bytes from [" + transport +
           "://127.0.0.1:5070]:\n" + logged;
}

class SipMessageTapTest : public ::testing::Test {
protected:
    void feed(const std::string& channel, const std::string& transport, const std::string& bytes)
    {
        tap.onLogRecord("belle-sip", kMessage, record(channel, transport, bytes.size(), bytes));
    }

    SipMessageTap::Clock::time_point now{};
    SipMessageTap tap{SipMessageTap::Limits{4, 10000ms, 2, 4096}, [this]() { return now; }};
};

TEST_F(SipMessageTapTest, KeepsADatagramInviteByCallIdUntilTaken)
{
    const std::string text = invite("abc@h");
    feed("0x1", "UDP", text);

    EXPECT_FALSE(tap.takeInvite("other"));
    EXPECT_EQ(tap.takeInvite("abc@h"), text);
    EXPECT_FALSE(tap.takeInvite("abc@h")) << "taking removes it";
}

TEST_F(SipMessageTapTest, IgnoresOtherRecordsRequestsAndReInvites)
{
    tap.onLogRecord("liblinphone", kMessage, record("0x1", "UDP", invite("a").size(), invite("a")));
    tap.onLogRecord("belle-sip", 1u << 1, record("0x1", "UDP", invite("b").size(), invite("b")));
    feed("0x1", "UDP", invite("c", "v=0\r\n", "<sip:bob@h>;tag=77"));
    const std::string options = invite("d");
    feed("0x1", "UDP", "OPTIONS" + options.substr(6));
    tap.onLogRecord("belle-sip", kMessage, "channel [0x1]: message sent to [UDP://127.0.0.1:5070], size: [3] bytes\nabc");

    EXPECT_EQ(tap.size(), 0u);
}

TEST_F(SipMessageTapTest, ReassemblesStreamReadsPerChannel)
{
    const std::string first = invite("one", std::string(300, 'a'));
    const std::string second = invite("two", std::string(20, 'b'));
    const std::string other = invite("three");
    // A keep-alive, the first message in three pieces, interleaved with another
    // channel, and the second message glued to the end of the first.
    feed("0x1", "TCP", "\r\n\r\n" + first.substr(0, 40));
    feed("0x2", "TLS", other.substr(0, 100));
    feed("0x1", "TCP", first.substr(40, 200));
    feed("0x2", "TLS", other.substr(100));
    feed("0x1", "TCP", first.substr(240) + second);

    EXPECT_EQ(tap.takeInvite("one"), first);
    EXPECT_EQ(tap.takeInvite("two"), second);
    EXPECT_EQ(tap.takeInvite("three"), other);
}

TEST_F(SipMessageTapTest, ReportsACutReadIncompleteAndResynchronises)
{
    const std::string big = invite("big", std::string(9000, 's'));
    const std::string next = invite("next");
    // The library logs only the first 7000 bytes of the read.
    tap.onLogRecord("belle-sip", kMessage, record("0x1", "TCP", 8000, big.substr(0, 7000)));
    feed("0x1", "TCP", big.substr(8000, 500));
    feed("0x1", "TCP", big.substr(8500) + next.substr(0, 10));  // bytes of the lost message: skipped
    feed("0x1", "TCP", next);

    const std::optional<SipMessageTap::Invite> cut = tap.take("big");
    ASSERT_TRUE(cut);
    EXPECT_FALSE(cut->complete);
    EXPECT_EQ(cut->text, big.substr(0, 7000));
    EXPECT_EQ(tap.takeInvite("next"), next);

    const std::string datagram = invite("udp", std::string(8000, 'u'));
    tap.onLogRecord("belle-sip", kMessage, record("0x3", "UDP", datagram.size(), datagram.substr(0, 7000)));
    EXPECT_FALSE(tap.takeInvite("udp")) << "an incomplete message is not handed out as text";
}

TEST_F(SipMessageTapTest, ReportsBytesThatAreNotTextIncomplete)
{
    const std::string text = invite("bin", "v=0\r\ns=\xff\xfe\r\n");
    const std::size_t shown = text.find('\xff');
    tap.onLogRecord("belle-sip", kMessage,
                    record("0x1", "UDP", text.size(),
                           text.substr(0, shown) + "... (first " + std::to_string(shown) + " bytes shown)"));

    const std::optional<SipMessageTap::Invite> cut = tap.take("bin");
    ASSERT_TRUE(cut);
    EXPECT_FALSE(cut->complete);
    EXPECT_EQ(cut->text, text.substr(0, shown));
}

TEST_F(SipMessageTapTest, ChecksTheBodyAgainstContentLength)
{
    std::string shortBody = invite("short", "v=0\r\no=x\r\n");
    shortBody.resize(shortBody.size() - 4);
    feed("0x1", "UDP", shortBody);
    const std::string exact = invite("long");
    feed("0x1", "UDP", exact + "trailing junk");

    const std::optional<SipMessageTap::Invite> cut = tap.take("short");
    ASSERT_TRUE(cut);
    EXPECT_FALSE(cut->complete);
    EXPECT_EQ(tap.takeInvite("long"), exact) << "bytes after the body are not part of the message";
}

TEST_F(SipMessageTapTest, BoundsWhatItKeeps)
{
    for (int i = 0; i < 6; ++i) {
        now += 1ms;
        feed("0x1", "UDP", invite("call" + std::to_string(i)));
    }
    EXPECT_EQ(tap.size(), 4u);
    EXPECT_FALSE(tap.takeInvite("call0")) << "the oldest go first";
    EXPECT_FALSE(tap.takeInvite("call1"));

    now += 10001ms;
    EXPECT_FALSE(tap.takeInvite("call5")) << "old entries expire";
    EXPECT_EQ(tap.size(), 0u);

    // An endless header section and an oversized body are dropped, not buffered.
    feed("0x1", "TCP", "INVITE sip:x SIP/2.0\r\nCall-ID: endless\r\nX: " + std::string(5000, 'e'));
    feed("0x1", "TCP", std::string(100, 'e') + "\r\n\r\n");
    feed("0x1", "TCP", invite("after"));
    EXPECT_EQ(tap.takeInvite("after"), invite("after"));

    feed("0x1", "TCP", invite("huge", std::string(5000, 'h')).substr(0, 300));
    const std::optional<SipMessageTap::Invite> huge = tap.take("huge");
    ASSERT_TRUE(huge);
    EXPECT_FALSE(huge->complete);

    // Channels beyond the cap push out the least recently used; a destroyed
    // channel is forgotten.
    feed("0x7", "TCP", invite("seven").substr(0, 50));
    tap.onLogRecord("belle-sip", kMessage, "Channel [0x7] destroyed");
    feed("0x7", "TCP", invite("seven").substr(50));
    EXPECT_FALSE(tap.takeInvite("seven"));
}

TEST_F(SipMessageTapTest, RecordsFromSeveralThreads)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t]() {
            for (int i = 0; i < 200; ++i) {
                const std::string id = std::to_string(t) + "-" + std::to_string(i);
                feed("0x" + std::to_string(t), t % 2 == 0 ? "UDP" : "TCP", invite(id));
                tap.take(id);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_LE(tap.size(), 4u);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
