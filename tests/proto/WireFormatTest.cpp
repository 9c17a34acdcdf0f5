#include <gtest/gtest.h>

#include <google/protobuf/stubs/logging.h>

#include <cmath>
#include <limits>
#include <string>

#include "proto/WireFloat.h"
#include "proto/citrixMessage.pb.h"

// What the peer sees on the wire. The peer's own protobuf implementation is
// generated from the same schema, so the bytes here are the contract.

namespace Tarvent::VirtualChannel {
namespace {

using namespace Proto;

std::string bytes(std::initializer_list<unsigned char> list)
{
    return std::string(list.begin(), list.end());
}

template <typename M>
bool parse(M& message, const std::string& data)
{
    return message.ParseFromArray(data.data(), static_cast<int>(data.size()));
}

TEST(WireFormat, DefaultAckMemberIsTagAndZeroLength)
{
    CitrixMessage envelope;
    envelope.mutable_ack();
    EXPECT_EQ(envelope.SerializeAsString(), bytes({0x0A, 0x00}));

    CitrixMessage parsed;
    ASSERT_TRUE(parse(parsed, bytes({0x0A, 0x00})));
    EXPECT_EQ(parsed.inner_case(), CitrixMessage::kAck);
    EXPECT_EQ(parsed.ack().statuscode(), Ack::SUCCESS);
}

TEST(WireFormat, NegativeInt32IsSignExtendedToTenBytes)
{
    ObjectIdResponse response;
    response.set_objectid(-1);
    EXPECT_EQ(response.SerializeAsString(),
              bytes({0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
}

TEST(WireFormat, FloatIsLittleEndianAndZeroIsLeftOut)
{
    PlaybackLevelAction action;
    action.set_level(0.5f);
    EXPECT_EQ(action.SerializeAsString(), bytes({0x1D, 0x00, 0x00, 0x00, 0x3F}));
    action.set_level(0.0f);
    EXPECT_EQ(action.SerializeAsString(), "");
}

TEST(WireFormat, RuntimeWritesNegativeZeroUnlessMappedThroughWireFloat)
{
    // The runtime compares bit patterns, so -0.0 goes out; the engine must not
    // rely on it being dropped.
    CaptureLevelAction action;
    action.set_level(-0.0f);
    EXPECT_EQ(action.SerializeAsString(), bytes({0x1D, 0x00, 0x00, 0x00, 0x80}));
    action.set_level(wireFloat(-0.0f));
    EXPECT_EQ(action.SerializeAsString(), "");
}

TEST(WireFloat, MapsOnlyNegativeZero)
{
    EXPECT_FALSE(std::signbit(wireFloat(-0.0f)));
    EXPECT_EQ(wireFloat(-0.0f), 0.0f);
    EXPECT_FALSE(std::signbit(wireFloat(0.0f)));
    EXPECT_EQ(wireFloat(0.5f), 0.5f);
    EXPECT_EQ(wireFloat(-4.25f), -4.25f);
    EXPECT_EQ(wireFloat(-std::numeric_limits<float>::denorm_min()), -std::numeric_limits<float>::denorm_min());
    EXPECT_TRUE(std::isnan(wireFloat(std::numeric_limits<float>::quiet_NaN())));
}

TEST(WireFormat, FieldsGoOutByNumberNotDeclarationOrder)
{
    AppStartAnswer answer;
    answer.mutable_ack()->set_statuscode(Ack::FAILED);
    answer.set_remoteversion("v");
    answer.set_remoteplatform(WINDOWS);
    answer.set_protocolversion(2);
    EXPECT_EQ(answer.SerializeAsString(),
              bytes({0x0A, 0x02, 0x08, 0x01, // ack
                     0x12, 0x01, 'v',        // remoteVersion
                     0x18, 0x02,             // protocolVersion (3)
                     0x20, 0x01}));          // remotePlatform (4)
}

TEST(WireFormat, AccountIdsArePackedAndReadInEitherForm)
{
    StartConferenceAction action;
    action.add_accountids(1);
    action.add_accountids(2);
    EXPECT_EQ(action.SerializeAsString(), bytes({0x0A, 0x02, 0x01, 0x02}));

    for (const std::string& data : {bytes({0x0A, 0x02, 0x01, 0x02}), bytes({0x08, 0x01, 0x08, 0x02})}) {
        StartConferenceAction parsed;
        ASSERT_TRUE(parse(parsed, data));
        ASSERT_EQ(parsed.accountids_size(), 2);
        EXPECT_EQ(parsed.accountids(0), 1);
        EXPECT_EQ(parsed.accountids(1), 2);
    }
}

TEST(WireFormat, MembersFromSixteenOnTakeTwoTagBytes)
{
    CitrixMessage envelope;
    envelope.mutable_audiodevicenotification();
    EXPECT_EQ(envelope.SerializeAsString(), bytes({0xBA, 0x01, 0x00}));
}

TEST(WireFormat, EveryMemberRoundTripsToItsOwnCase)
{
    const auto* descriptor = CitrixMessage::descriptor();
    const auto* reflection = CitrixMessage::GetReflection();
    for (int i = 0; i < descriptor->field_count(); ++i) {
        const auto* field = descriptor->field(i);
        CitrixMessage envelope;
        reflection->MutableMessage(&envelope, field);
        CitrixMessage parsed;
        ASSERT_TRUE(parse(parsed, envelope.SerializeAsString())) << field->name();
        EXPECT_EQ(static_cast<int>(parsed.inner_case()), field->number()) << field->name();
    }
}

TEST(WireFormat, PayloadWithoutKnownMemberParsesAsNotSet)
{
    CitrixMessage envelope;
    ASSERT_TRUE(parse(envelope, ""));
    EXPECT_EQ(envelope.inner_case(), CitrixMessage::INNER_NOT_SET);

    // A member added by a newer peer, as a message (tag 60/2) and as a varint (60/0).
    const std::string newer = bytes({0xE2, 0x03, 0x00, 0xE0, 0x03, 0x05});
    ASSERT_TRUE(parse(envelope, newer));
    EXPECT_EQ(envelope.inner_case(), CitrixMessage::INNER_NOT_SET);
    EXPECT_EQ(envelope.SerializeAsString(), newer);
}

TEST(WireFormat, LastMemberReadWinsAndSameMemberMerges)
{
    const std::string dial = bytes({0x82, 0x02, 0x02, 0x08, 0x05});   // dialAction{callId 5}
    const std::string hangUp = bytes({0x8A, 0x02, 0x02, 0x08, 0x07}); // hangUpAction{callId 7}
    CitrixMessage envelope;
    ASSERT_TRUE(parse(envelope, dial + hangUp));
    EXPECT_EQ(envelope.inner_case(), CitrixMessage::kHangUpAction);
    EXPECT_EQ(envelope.hangupaction().callid(), 7);
    EXPECT_EQ(envelope.SerializeAsString(), hangUp);

    // forwardAction{accountId 1} then forwardAction{targetNumber "9"}
    ASSERT_TRUE(parse(envelope, bytes({0xCA, 0x03, 0x02, 0x08, 0x01, 0xCA, 0x03, 0x03, 0x1A, 0x01, '9'})));
    ASSERT_EQ(envelope.inner_case(), CitrixMessage::kForwardAction);
    EXPECT_EQ(envelope.forwardaction().accountid(), 1);
    EXPECT_EQ(envelope.forwardaction().targetnumber(), "9");
}

TEST(WireFormat, MalformedPayloadsFailAndKeepWhatWasRead)
{
    CitrixMessage envelope;
    // dialAction whose callId varint is cut short by the end of its length.
    EXPECT_FALSE(parse(envelope, bytes({0x82, 0x02, 0x01, 0x08})));
    EXPECT_EQ(envelope.inner_case(), CitrixMessage::kDialAction);

    EXPECT_FALSE(parse(envelope, bytes({0x0A, 0x05, 0x08})));    // length beyond the buffer
    EXPECT_FALSE(parse(envelope, bytes({0x00})));                // zero tag
    EXPECT_FALSE(parse(envelope, bytes({0x0F, 0x00})));          // wire type 7
    EXPECT_FALSE(parse(envelope, bytes({0x10, 0xFF, 0xFF})));    // varint cut short
}

TEST(WireFormat, StringsMustBeUtf8ButBytesNeedNot)
{
    const google::protobuf::LogSilencer quiet; // the runtime reports the bad field on its own log
    DialDtmfAction dtmf;
    EXPECT_FALSE(parse(dtmf, bytes({0x12, 0x01, 0xFF})));

    AppTransferLogPartAnswer part;
    ASSERT_TRUE(parse(part, bytes({0x1A, 0x01, 0xFF})));
    EXPECT_EQ(part.log(), bytes({0xFF}));
}

TEST(EnumNames, DeclaredValuesHaveNamesOthersAreEmpty)
{
    EXPECT_EQ(CallTerminationReason_Name(CALL_TERMINATION_REASON_BUSY_HERE), "CALL_TERMINATION_REASON_BUSY_HERE");
    EXPECT_EQ(CallTerminationReason_Name(2), "CALL_TERMINATION_REASON_BUSY_HERE");
    EXPECT_EQ(CallTerminationReason_Name(7), "");
    EXPECT_EQ(Platform_Name(1), "WINDOWS");
    EXPECT_EQ(Ack::StatusCode_Name(Ack::TIMEOUT), "TIMEOUT");
    EXPECT_EQ(SipStackStatusAnswer::SipStatus_Name(SipStackStatusAnswer::ERROR), "ERROR");
}

} // namespace
} // namespace Tarvent::VirtualChannel
