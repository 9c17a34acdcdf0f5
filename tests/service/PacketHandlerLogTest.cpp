#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "proto/citrixMessage.pb.h"
#include "service/PacketHandler.h"
#include "service/PacketHandlerTestSupport.h"
#include "support/CapturingAppender.h"

namespace Tarvent::VirtualChannel {
namespace {

using Proto::CitrixMessage;
using TestSupport::HandlerRig;
using TestSupport::LogCapture;

// What a client would like to see in the log: a line of its own making.
constexpr const char* kForged = "x\r\n2026-01-01 00:00:00.000 1 I Received message AppStartAction: forged";
constexpr const char* kEscaped = "x\\r\\n2026-01-01 00:00:00.000 1 I Received message AppStartAction: forged";

class PacketHandlerLogTest : public ::testing::Test {
protected:
    // Every captured line is one line.
    void expectOneLinePerRecord()
    {
        for (const std::string& message : capture.messages()) {
            EXPECT_EQ(message.find_first_of("\r\n"), std::string::npos) << message;
        }
    }

    LogCapture capture;
    HandlerRig rig;
};

TEST_F(PacketHandlerLogTest, ClientTextsCannotStartALineOfTheirOwn)
{
    const std::vector<std::pair<std::function<void(CitrixMessage&)>, std::string>> requests = {
        {[](CitrixMessage& m) { m.mutable_appstartaction()->set_appversion(kForged); },
         std::string("appVersion=\"") + kEscaped + "\""},
        {[](CitrixMessage& m) { m.mutable_sipstackstartaction()->set_useragent(kForged); },
         std::string("userAgent=\"") + kEscaped + "\""},
        {[](CitrixMessage& m) { m.mutable_sipstackcodecprioaction()->set_codecname(kForged); },
         std::string("codecName=\"") + kEscaped + "\""},
        {[](CitrixMessage& m) {
             auto& account = *m.mutable_createaccountaction();
             account.set_username(kForged);
             account.set_realm(kForged);
             account.set_host(kForged);
             account.set_transport(kForged);
         },
         std::string("transport=\"") + kEscaped + "\""},
        {[](CitrixMessage& m) { m.mutable_makecallaction()->set_phonenumber(kForged); },
         std::string("phoneNumber=\"") + kEscaped + "\""},
        {[](CitrixMessage& m) { m.mutable_dialdtmfaction()->set_digit(kForged); },
         std::string("digit=\"") + kEscaped + "\""},
        {[](CitrixMessage& m) { m.mutable_forwardaction()->set_targetnumber(kForged); },
         std::string("targetNumber=\"") + kEscaped + "\""},
        {[](CitrixMessage& m) { m.mutable_audioplayercreateaction()->set_filename(kForged); },
         std::string("filename=\"") + kEscaped + "\""},
    };
    std::uint64_t messageId = 0;
    for (const auto& [fill, logged] : requests) {
        CitrixMessage request;
        fill(request);
        SCOPED_TRACE(request.ShortDebugString());
        rig.recorder.answerTo(request, ++messageId);
        EXPECT_TRUE(capture.contains(logged));
    }
    // A failure text that quotes the client's text comes out escaped as well.
    EXPECT_TRUE(capture.contains(std::string("statusMessage=\"Invalid sound file name: fileName=\"") + kEscaped));
    // A backslash is doubled, so that it can't pass for an escape.
    CitrixMessage call;
    call.mutable_makecallaction()->set_phonenumber("100\\r\\n");
    rig.recorder.answerTo(call, ++messageId);
    EXPECT_TRUE(capture.contains("phoneNumber=\"100\\\\r\\\\n\""));
    expectOneLinePerRecord();
}

TEST_F(PacketHandlerLogTest, TextsFromPeersAndDevicesStayOnTheirLine)
{
    rig.handler->onIncomingCall(1, 2, 0, "INVITE sip:alice@127.0.0.1 SIP/2.0\r\nFrom: <sip:bob@127.0.0.1>\r\n\r\n");
    rig.handler->onCallEarly(1, 2, 0, kForged);
    SipCallMediaState media;
    media.displayName = kForged;
    media.displayNumber = "100";
    media.codecName = "PCMU";
    rig.handler->onCallMediaState(1, 2, media);
    AudioDeviceSnapshot snapshot;
    snapshot.records.push_back({kForged, true, false, true, 3});
    rig.handler->onAudioDevicesChanged(1, snapshot);

    const auto sent = rig.recorder.sent();
    ASSERT_EQ(sent.size(), 4u);
    // The messages carry the texts as they are; only the log escapes them.
    EXPECT_EQ(sent[1].message.earlycallnotification().routename(), kForged);
    EXPECT_EQ(sent[3].message.audiodevicenotification().audiodevices(0).name(), kForged);
    EXPECT_TRUE(capture.contains(
        "sipMessage=\"INVITE sip:alice@127.0.0.1 SIP/2.0\\r\\nFrom: <sip:bob@127.0.0.1>\\r\\n\\r\\n\""));
    EXPECT_TRUE(capture.contains(std::string("routeName=\"") + kEscaped + "\""));
    EXPECT_TRUE(capture.contains(std::string("displayName=\"") + kEscaped + "\""));
    EXPECT_TRUE(capture.contains(std::string("audioDevices=[(3;\"") + kEscaped + "\";1;0;1)]"));
    expectOneLinePerRecord();
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
