#include "sip/SipHeaderMap.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sip/SipText.h"

namespace Tarvent::VirtualChannel {
namespace {

const char* const kInvite =
    "INVITE sip:bob@127.0.0.1:5070 SIP/2.0\r\n"
    "Via: SIP/2.0/UDP 127.0.0.1:5080;branch=z9hG4bK776asdhds\r\n"
    "Max-Forwards: 70\r\n"
    "To: Bob <sip:bob@127.0.0.1>\r\n"
    "From: \"Alice A.\" <sip:alice@127.0.0.1>;tag=1928301774\r\n"
    "Call-ID: a84b4c76e66710@127.0.0.1\r\n"
    "CSeq: 314159 INVITE\r\n"
    "Contact: <sip:alice@127.0.0.1:5080>\r\n"
    "Subject: first line\r\n"
    "  of a folded\r\n"
    "\tsubject\r\n"
    "Content-Type: application/sdp\r\n"
    "Content-Length: 4\r\n"
    "\r\n"
    "v=0\r\n"
    "X-Body-Header: not a header\r\n";

TEST(SipTextTest, ToLowerChangesOnlyAsciiCapitals)
{
    EXPECT_EQ(toLower("TCP"), "tcp");
    EXPECT_EQ(toLower("Call-ID 123"), "call-id 123");
    const std::string high("\xC4\xD6\xFF", 3);  // would be negative as plain char
    EXPECT_EQ(toLower(high), high);
}

TEST(SipHeaderMapTest, ReadsTheHeadersOfARealInviteInAnyCase)
{
    const SipHeaderMap map(kInvite);
    EXPECT_EQ(map.get("to"), "Bob <sip:bob@127.0.0.1>");
    EXPECT_EQ(map.get("FROM"), "\"Alice A.\" <sip:alice@127.0.0.1>;tag=1928301774");
    EXPECT_EQ(map.get("cAlL-iD"), "a84b4c76e66710@127.0.0.1");
    EXPECT_EQ(map.get("Content-Type"), "application/sdp");
    EXPECT_EQ(map.get("Max-Forwards"), "70");
    EXPECT_EQ(map.get("Absent"), "");
    EXPECT_EQ(map.get(nullptr), "");
}

TEST(SipHeaderMapTest, StopsAtTheBody)
{
    const SipHeaderMap map(kInvite);
    EXPECT_EQ(map.get("X-Body-Header"), "");
    EXPECT_EQ(map.get("v=0"), "");
}

TEST(SipHeaderMapTest, JoinsFoldedLinesToTheirHeader)
{
    const SipHeaderMap map(kInvite);
    EXPECT_EQ(map.get("Subject"), "first line of a folded subject");
    EXPECT_EQ(map.get("of a folded"), "");

    const SipHeaderMap to("INVITE sip:x@y SIP/2.0\nTo: \"Bob\"\n   <sip:bob@example.org>\n\n");
    EXPECT_EQ(to.get("To"), "\"Bob\" <sip:bob@example.org>");
}

TEST(SipHeaderMapTest, MapsCompactNamesToTheirLongForms)
{
    const SipHeaderMap map(
        "INVITE sip:bob@127.0.0.1 SIP/2.0\r\n"
        "v: SIP/2.0/TCP 127.0.0.1;branch=z9hG4bKnashds8\r\n"
        "f: <sip:alice@127.0.0.1>;tag=88\r\n"
        "t: sip:bob@127.0.0.1\r\n"
        "i: 12345@127.0.0.1\r\n"
        "m: <sip:alice@127.0.0.1:5080>\r\n"
        "c: application/sdp\r\n"
        "l: 0\r\n"
        "k: replaces\r\n"
        "s: hello\r\n"
        "e: gzip\r\n"
        "o: refer\r\n"
        "r: <sip:carol@127.0.0.1>\r\n"
        "b: <sip:alice@127.0.0.1>\r\n"
        "x: 1800\r\n"
        "u: talk\r\n"
        "\r\n");
    EXPECT_EQ(map.get("From"), "<sip:alice@127.0.0.1>;tag=88");
    EXPECT_EQ(map.get("to"), "sip:bob@127.0.0.1");
    EXPECT_EQ(map.get("Call-ID"), "12345@127.0.0.1");
    EXPECT_EQ(map.get("contact"), "<sip:alice@127.0.0.1:5080>");
    EXPECT_EQ(map.get("content-type"), "application/sdp");
    EXPECT_EQ(map.get("content-length"), "0");
    EXPECT_EQ(map.get("via"), "SIP/2.0/TCP 127.0.0.1;branch=z9hG4bKnashds8");
    EXPECT_EQ(map.get("supported"), "replaces");
    EXPECT_EQ(map.get("subject"), "hello");
    EXPECT_EQ(map.get("content-encoding"), "gzip");
    EXPECT_EQ(map.get("event"), "refer");
    EXPECT_EQ(map.get("refer-to"), "<sip:carol@127.0.0.1>");
    EXPECT_EQ(map.get("referred-by"), "<sip:alice@127.0.0.1>");
    EXPECT_EQ(map.get("session-expires"), "1800");
    EXPECT_EQ(map.get("allow-events"), "talk");
    EXPECT_EQ(map.get("T"), "sip:bob@127.0.0.1");  // compact name asked for
    EXPECT_EQ(map.size(), 15u);
}

TEST(SipHeaderMapTest, LastOccurrenceWinsAcrossLongAndCompactForms)
{
    const SipHeaderMap map("SIP/2.0 200 OK\nTo: first\nt: second\n");
    EXPECT_EQ(map.get("To"), "second");
}

TEST(SipHeaderMapTest, GetAllKeepsEveryOccurrenceInOrderWithItsFoldedLines)
{
    const SipHeaderMap map(
        "INVITE sip:a@b SIP/2.0\r\nAlert-Info: <http://x>;info=alert-internal\r\nTo: <sip:a@b>\r\n"
        "alert-info: <http://y>;\r\n info=alert-autoanswer\r\n\r\nAlert-Info: in the body\r\n");
    const std::vector<std::string> values = map.getAll("ALERT-INFO");
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0], "<http://x>;info=alert-internal");
    EXPECT_EQ(values[1], "<http://y>; info=alert-autoanswer");
    EXPECT_EQ(map.get("Alert-Info"), values[1]);
    EXPECT_TRUE(map.getAll("Subject").empty());
    EXPECT_TRUE(map.getAll(nullptr).empty());
    EXPECT_EQ(map.size(), 2u);
}

TEST(SipHeaderMapTest, SpaceBeforeTheColonAndOddLines)
{
    const SipHeaderMap map("SIP/2.0 180 Ringing\r\nTo : <sip:bob@h>\r\nno colon here\r\nEmpty:\r\n");
    EXPECT_EQ(map.get("To"), "<sip:bob@h>");
    EXPECT_EQ(map.get("no colon here"), "no colon here");
    EXPECT_EQ(map.get("Empty"), "");
    EXPECT_EQ(map.size(), 3u);
}

TEST(SipHeaderMapTest, DegenerateMessagesGiveEmptyMaps)
{
    EXPECT_EQ(SipHeaderMap(nullptr).size(), 0u);
    EXPECT_EQ(SipHeaderMap("").size(), 0u);
    EXPECT_EQ(SipHeaderMap("INVITE sip:a@b SIP/2.0").size(), 0u);
    EXPECT_EQ(SipHeaderMap("INVITE sip:a@b SIP/2.0\r\n\r\nTo: x\r\n").size(), 0u);
    // A folded line with nothing before it stands on its own.
    EXPECT_EQ(SipHeaderMap("X\n  lone: value\n").get("lone"), "value");
}

TEST(SipHeaderMapTest, SurvivesGarbageAndHugeHeaders)
{
    std::string garbage = "\xff\x80:\n";
    for (int i = 0; i < 256; ++i) {
        garbage += static_cast<char>(i == 0 ? 1 : i);
    }
    garbage += "\n\x80\xfe: \xff\n";
    const SipHeaderMap odd(garbage.c_str());
    EXPECT_EQ(odd.get("\x80\xfe"), "\xff");

    std::string huge = "INVITE sip:a@b SIP/2.0\r\nX-Big: ";
    huge.append(64 * 1024, 'a');
    huge += "\r\n";
    for (int i = 0; i < 4096; ++i) {
        huge += " folded\r\n";  // many continuation lines, no recursion
    }
    huge += "To: <sip:bob@h>\r\n\r\n";
    const SipHeaderMap map(huge.c_str());
    EXPECT_EQ(map.get("x-big").size(), 64u * 1024 + 4096 * 7);
    EXPECT_EQ(map.get("to"), "<sip:bob@h>");
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
