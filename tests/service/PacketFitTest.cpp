#include <gtest/gtest.h>

#include <string>

#include "proto/citrixMessage.pb.h"
#include "service/MessageFit.h"
#include "service/PacketHandler.h"
#include "service/PacketHandlerTestSupport.h"
#include "support/CapturingAppender.h"
#include "util/Utf8.h"

namespace Tarvent::VirtualChannel {
namespace {

using Proto::CitrixMessage;
using TestSupport::HandlerRig;
using TestSupport::LogCapture;

constexpr std::size_t kLimit = PacketHandler::kMaxPayloadSize;

// A name of `count` two-byte characters, so that a cut in the middle of a
// character would show as broken UTF-8.
std::string wideName(std::size_t count, char tag)
{
    std::string name(1, tag);
    for (std::size_t i = 0; i < count; ++i) {
        name += "\xc3\xa9";
    }
    return name;
}

// The worst device list: as many devices as fit with their bare fields, each
// with a long non-ASCII name.
AudioDeviceSnapshot manyLongDevices(int count)
{
    AudioDeviceSnapshot snapshot;
    for (int i = 0; i < count; ++i) {
        snapshot.records.push_back({wideName(200, static_cast<char>('a' + i % 26)), i % 2 == 0, true, true, 1000 + i});
    }
    snapshot.defaultInputObjectId = 1000;
    snapshot.defaultOutputObjectId = 1001;
    snapshot.systemDefaultInputObjectId = -1;
    snapshot.systemDefaultOutputObjectId = 1002;
    return snapshot;
}

void expectTheSameDevicesWithShorterNames(const Proto::AudioDeviceNotification& sent,
                                          const AudioDeviceSnapshot& snapshot)
{
    ASSERT_EQ(sent.audiodevices_size(), static_cast<int>(snapshot.records.size()));
    for (int i = 0; i < sent.audiodevices_size(); ++i) {
        const auto& device = sent.audiodevices(i);
        const AudioDeviceRecord& record = snapshot.records[static_cast<std::size_t>(i)];
        EXPECT_EQ(device.objectid(), record.objectId);
        EXPECT_EQ(device.isinputdevice(), record.isInputDevice);
        EXPECT_FALSE(device.name().empty());
        EXPECT_TRUE(isValidUtf8(device.name()));
        EXPECT_EQ(record.name.compare(0, device.name().size(), device.name()), 0);
    }
    EXPECT_EQ(sent.defaultoutputobjectid(), 1001);
    EXPECT_EQ(sent.systemdefaultinputobjectid(), -1);
}

TEST(MessageFit, TheLongestTextsAreCutToOneLengthUntilTheEnvelopeFits)
{
    // Failure text and device list together: the create answer's worst case.
    CitrixMessage answer;
    auto& created = *answer.mutable_audiodevicemanagercreateanswer();
    created.mutable_ack()->set_statuscode(Proto::Ack::FAILED);
    created.mutable_ack()->set_statusmessage("short reason");
    created.set_allocated_audiodevicenotification(
        PacketHandler::buildAudioDeviceNotification(1, manyLongDevices(30)).release());
    ASSERT_GT(answer.ByteSizeLong(), 4 * kLimit);
    ASSERT_TRUE(MessageFit::fitTexts(answer, kLimit));
    EXPECT_LE(answer.ByteSizeLong(), kLimit);
    // Room is shared evenly: the short text stays whole, the names end up
    // within one character of each other.
    EXPECT_EQ(created.ack().statusmessage(), "short reason");
    std::size_t shortest = SIZE_MAX;
    std::size_t longest = 0;
    for (const auto& device : created.audiodevicenotification().audiodevices()) {
        shortest = std::min(shortest, device.name().size());
        longest = std::max(longest, device.name().size());
    }
    EXPECT_LE(longest - shortest, 1u);
    // Nearly all the room is used: per device at most a byte of a character
    // and the two length prefixes that got shorter are left over.
    EXPECT_GT(answer.ByteSizeLong() + 4 * created.audiodevicenotification().audiodevices_size(), kLimit);
    expectTheSameDevicesWithShorterNames(created.audiodevicenotification(), manyLongDevices(30));

    // A message that fits is left alone; bytes are never cut.
    CitrixMessage part;
    part.mutable_apptransferlogpartanswer()->set_log(std::string(kLimit - 20, '\xff'));
    const std::string before = part.SerializeAsString();
    EXPECT_TRUE(MessageFit::fitTexts(part, kLimit));
    EXPECT_EQ(part.SerializeAsString(), before);
    part.mutable_apptransferlogpartanswer()->set_log(std::string(kLimit + 1, '\xff'));
    part.mutable_apptransferlogpartanswer()->mutable_ack()->set_statusmessage(std::string(100, 'x'));
    EXPECT_FALSE(MessageFit::fitTexts(part, kLimit));
    EXPECT_EQ(part.apptransferlogpartanswer().log().size(), kLimit + 1);

    // The account's URI of a create answer.
    CitrixMessage account;
    account.mutable_createaccountanswer()->set_iduri("sip:" + wideName(1500, 'u') + "@example.org");
    account.mutable_createaccountanswer()->mutable_objectidresponse()->set_objectid(7);
    ASSERT_TRUE(MessageFit::fitTexts(account, kLimit));
    EXPECT_LE(account.ByteSizeLong(), kLimit);
    EXPECT_TRUE(isValidUtf8(account.createaccountanswer().iduri()));
    EXPECT_EQ(account.createaccountanswer().objectidresponse().objectid(), 7);
}

class PacketFitTest : public ::testing::Test {
protected:
    LogCapture capture;
    HandlerRig rig;
};

TEST_F(PacketFitTest, AFailureTextLongerThanAPacketIsCutAndAnswered)
{
    // The request fits; the answer quotes its (refused) file name and would not.
    CitrixMessage request;
    request.mutable_audioplayercreateaction()->set_filename(wideName(990, 'f') + "/x.wav");
    ASSERT_LE(request.ByteSizeLong(), kLimit);
    const CitrixMessage answer = rig.recorder.answerTo(request, 5);
    ASSERT_TRUE(answer.has_objectidresponse());
    const Proto::Ack& ack = answer.objectidresponse().ack();
    EXPECT_EQ(ack.statuscode(), Proto::Ack::FAILED);
    EXPECT_EQ(ack.statusmessage().rfind("Invalid sound file name: fileName=\"f\xc3\xa9", 0), 0u);
    EXPECT_TRUE(isValidUtf8(ack.statusmessage()));
    EXPECT_LE(answer.ByteSizeLong(), kLimit);
    EXPECT_TRUE(capture.contains("ObjectIdResponse too large, texts cut: size="));
    // The answer's line shows what was sent, as far as a log line reaches.
    const std::string line =
        "Sending message ObjectIdResponse: messageId=5; statusCode=1; statusMessage=\"" + ack.statusmessage();
    EXPECT_TRUE(capture.contains(line.substr(0, 1500)));
}

TEST_F(PacketFitTest, TheWorstDeviceListIsSentWithShorterNames)
{
    const AudioDeviceSnapshot snapshot = manyLongDevices(60);
    rig.handler->onAudioDevicesChanged(1, snapshot);
    const auto sent = rig.recorder.sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_FALSE(sent[0].isAnswer);
    const auto& devices = sent[0].message.audiodevicenotification();
    expectTheSameDevicesWithShorterNames(devices, snapshot);
    EXPECT_TRUE(capture.contains("AudioDeviceNotification too large, texts cut: size="));
    // The line shows what was sent, as far as a log line reaches.
    const std::string line =
        "Sending message AudioDeviceNotification: messageId=1;" + PacketHandler::formatAudioDeviceNotification(devices);
    EXPECT_TRUE(capture.contains(line.substr(0, 1500)));
}

TEST_F(PacketFitTest, ACreateAnswerJustOverThePacketIsSentWithShorterNames)
{
    // The list alone fits a notification (2022 bytes), the create answer's
    // envelope and Ack make it 2027.
    AudioDeviceSnapshot snapshot;
    for (int i = 1; i <= 8; ++i) {
        snapshot.records.push_back({std::string(239, static_cast<char>('a' + i)), false, true, true, i});
    }
    snapshot.defaultInputObjectId = 1;
    snapshot.defaultOutputObjectId = 2;
    snapshot.systemDefaultInputObjectId = 3;
    snapshot.systemDefaultOutputObjectId = 4;
    CitrixMessage notification;
    notification.set_allocated_audiodevicenotification(
        PacketHandler::buildAudioDeviceNotification(1, snapshot).release());
    ASSERT_EQ(notification.ByteSizeLong(), 2022u);
    CitrixMessage answer;
    auto& created = *answer.mutable_audiodevicemanagercreateanswer();
    created.mutable_ack()->set_statuscode(Proto::Ack::SUCCESS);
    created.set_allocated_audiodevicenotification(
        PacketHandler::buildAudioDeviceNotification(1, snapshot).release());
    ASSERT_EQ(answer.ByteSizeLong(), 2027u);

    EXPECT_NO_THROW(rig.handler->sendAnswer(answer, 9));
    const auto sent = rig.recorder.sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].messageId, 9u);
    EXPECT_LE(sent[0].message.ByteSizeLong(), kLimit);
    const auto& devices = sent[0].message.audiodevicemanagercreateanswer().audiodevicenotification();
    ASSERT_EQ(devices.audiodevices_size(), 8);
    EXPECT_EQ(devices.audiodevices(7).name(), std::string(238, 'i'));
    EXPECT_EQ(devices.systemdefaultoutputobjectid(), 4);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
