#include "sip/SipNameAddr.h"

#include <gtest/gtest.h>

#include <string>

namespace Tarvent::VirtualChannel {
namespace {

void expectParts(const std::string& value, const std::string& display, const std::string& uri,
                 const std::string& user)
{
    const SipNameAddr addr(value);
    EXPECT_EQ(addr.displayName, display) << value;
    EXPECT_EQ(addr.uri, uri) << value;
    EXPECT_EQ(addr.user, user) << value;
}

TEST(SipNameAddrTest, UnquotedDisplayNameWithUriAndHeaderParameters)
{
    expectParts("   Bob Smith   <sip:bob@127.0.0.1:5060;transport=tcp>;tag=a6c85cf", "Bob Smith",
                "sip:bob@127.0.0.1:5060;transport=tcp", "bob");
    expectParts("<sips:+4930123@example.org;user=phone>", "", "sips:+4930123@example.org;user=phone",
                "+4930123");
}

TEST(SipNameAddrTest, QuotedDisplayNameLosesOnlyItsQuotes)
{
    expectParts("\"  Alice  A. \" <sip:alice@h>;tag=1", "  Alice  A. ", "sip:alice@h", "alice");
    expectParts("\"\"<sip:alice@h>", "", "sip:alice@h", "alice");
}

TEST(SipNameAddrTest, QuotedDisplayNameWithEscapes)
{
    expectParts(R"("Bob \"the Builder\" \\ Co" <sip:bob@h>)", R"(Bob "the Builder" \ Co)", "sip:bob@h",
                "bob");
    expectParts(R"("unterminated \" <sip:bob@h>)", "", "", "");
}

TEST(SipNameAddrTest, BareUriEndsAtTheFirstParameter)
{
    expectParts("sip:carol@127.0.0.1;transport=udp;tag=99", "", "sip:carol@127.0.0.1", "carol");
    expectParts("  sip:carol@h more words", "", "sip:carol@h", "carol");
}

TEST(SipNameAddrTest, ShapesThatAreNotNameAddrsGiveEmptyFields)
{
    expectParts("Bob <sip:127.0.0.1>", "", "", "");            // no user part
    expectParts("\"Bob\" Smith <sip:bob@h>", "", "", "");       // quoted piece plus words
    expectParts("Mr \"Bob\" <sip:bob@h>", "", "", "");          // quote inside unquoted words
    expectParts("Bob <tel:+4930123>", "", "", "");
    expectParts("", "", "", "");
    expectParts("<sip:bob@h>\r\nInjected: 1", "", "", "");     // a second line is not a value
    expectParts(std::string("\0\xff<sip:\x80@\xfe>", 11), std::string("\0\xff", 2), "sip:\x80@\xfe", "\x80");
}

TEST(SipNameAddrTest, PicksTheLastCompleteAngleUri)
{
    expectParts("a <b <sip:x@y>", "a <b", "sip:x@y", "x");
    expectParts("Bob <sip:bob@h> <sip:tail", "Bob", "sip:bob@h", "bob");
}

TEST(SipNameAddrTest, HugeValuesParseInLinearTime)
{
    std::string many;
    for (int i = 0; i < 16 * 1024; ++i) {
        many += "<sip:";  // 80 KiB of candidates, none complete
    }
    expectParts(many, "", "", "");

    std::string name(64 * 1024, 'n');
    expectParts(name + " <sip:u@h>", name, "sip:u@h", "u");
    expectParts("\"" + name + "\" <sip:u@h>", name, "sip:u@h", "u");
    expectParts("sip:u@" + name, "", "sip:u@" + name, "u");
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
