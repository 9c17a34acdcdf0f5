#include <gtest/gtest.h>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "proto/citrixMessage.pb.h"

// Checks the compiled-in schema against the message catalogue written out here
// by hand, so that an edit to a .proto file (a renumbered field, a changed type,
// a reordered declaration, a lost option) cannot slip through unnoticed. The
// peer is generated from its own copy of these files; they must stay identical.

namespace Tarvent::VirtualChannel {
namespace {

using google::protobuf::Descriptor;
using google::protobuf::DescriptorPool;
using google::protobuf::EnumDescriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::FileDescriptor;

const std::string kPackage = "Tarvent.VirtualChannel.Proto";

struct FileSpec {
    const char* name;
    std::vector<std::string> imports;
    std::vector<std::string> enums;
};

// File name, imports in order, top-level enums.
const std::vector<FileSpec> kFiles = {
    {"ack.proto", {}, {}},
    {"sipMessages.proto", {"ack.proto"}, {}},
    {"accountMessages.proto", {"ack.proto"}, {}},
    {"audioMessages.proto", {"ack.proto"}, {}},
    {"callMessages.proto", {}, {"CallTerminationReason"}},
    {"appMessages.proto", {"ack.proto"}, {"Platform"}},
    {"citrixMessage.proto",
     {"ack.proto", "sipMessages.proto", "accountMessages.proto", "audioMessages.proto",
      "callMessages.proto", "appMessages.proto"},
     {}},
};

struct MessageSpec {
    const char* file;
    const char* name;
    const char* fields; // "type name = number; ..." in declaration order
};

// Every message but the envelope, per file in declaration order.
const std::vector<MessageSpec> kMessages = {
    {"ack.proto", "Ack", "Ack.StatusCode statusCode = 1; int32 errorCode = 2; string statusMessage = 3"},
    {"ack.proto", "ObjectIdResponse", "Ack ack = 1; int32 objectId = 2"},
    {"sipMessages.proto", "SipStackStartAction", "bool useNoVad = 1; string userAgent = 2; bool g729Enabled = 3; bool sipLogEnabled = 4; bool sipMessageTraceEnabled = 5"},
    {"sipMessages.proto", "SipStackStopAction", ""},
    {"sipMessages.proto", "SipStackStatusQuery", ""},
    {"sipMessages.proto", "SipStackCodecPrioAction", "string codecName = 1; int32 priority = 2"},
    {"sipMessages.proto", "SipStackStatusAnswer", "Ack ack = 1; SipStackStatusAnswer.SipStatus status = 2; string sipError = 3"},
    {"sipMessages.proto", "StartConferenceAction", "repeated int32 accountIds = 1"},
    {"sipMessages.proto", "StopConferenceAction", ""},
    {"sipMessages.proto", "PlaybackLevelAction", "float level = 3"},
    {"sipMessages.proto", "CaptureLevelAction", "float level = 3"},
    {"sipMessages.proto", "MuteMicrophoneAction", "bool mute = 1"},
    {"accountMessages.proto", "CreateAccountAction", "string username = 1; string realm = 2; string host = 3; string password = 4; string transport = 5"},
    {"accountMessages.proto", "CreateAccountAnswer", "ObjectIdResponse objectIdResponse = 1; string idUri = 2; bool contactRewrite = 3"},
    {"accountMessages.proto", "DeleteAccountAction", "int32 accountId = 1"},
    {"accountMessages.proto", "SetRegistrationAction", "int32 accountId = 1; bool renew = 2"},
    {"accountMessages.proto", "UpdateAccountPasswordAction", "int32 accountId = 1; string newPassword = 2"},
    {"accountMessages.proto", "AccountRegStateChangedNotification", "int32 accountId = 1; bool isConnected = 2; int32 status = 3; int32 statusCode = 4"},
    {"audioMessages.proto", "AudioDeviceManagerCreateAction", ""},
    {"audioMessages.proto", "AudioDeviceManagerCreateAnswer", "Ack ack = 1; AudioDeviceNotification audioDeviceNotification = 2"},
    {"audioMessages.proto", "AudioDeviceObject", "int32 objectId = 1; string name = 2; bool isInputDevice = 3; bool isOutputDevice = 4; bool isCallDevice = 5"},
    {"audioMessages.proto", "AudioDeviceNotification", "int32 objectId = 1; repeated AudioDeviceObject audioDevices = 2; int32 defaultInputObjectId = 3; int32 defaultOutputObjectId = 4; int32 systemDefaultInputObjectId = 5; int32 systemDefaultOutputObjectId = 6"},
    {"audioMessages.proto", "AudioDeviceDefaultChangedAction", "int32 newDefaultInputObjectId = 1; int32 newDefaultOutputObjectId = 2"},
    {"audioMessages.proto", "AudioDeviceSetExtraPlaybackDeviceAction", "int32 extraPlaybackDeviceObjectId = 1"},
    {"audioMessages.proto", "AudioPlayerCreateAction", "string fileName = 1; int32 callId = 2; bool loop = 3; bool extraPlaybackDevice = 4"},
    {"audioMessages.proto", "AudioPlayerPlayAction", "int32 objectId = 1"},
    {"audioMessages.proto", "AudioPlayerStopAction", "int32 objectId = 1"},
    {"audioMessages.proto", "AudioPlayerDisposeAction", "int32 objectId = 1"},
    {"audioMessages.proto", "AudioRecorderCreateAction", ""},
    {"audioMessages.proto", "AudioRecorderStartAction", "int32 objectId = 1; int32 callId = 2"},
    {"audioMessages.proto", "AudioRecorderStopAction", "int32 objectId = 1"},
    {"audioMessages.proto", "AudioRecorderDisposeAction", "int32 objectId = 1"},
    {"callMessages.proto", "IncomingCallNotification", "int32 accountId = 1; int32 callId = 2; int32 pjsipCallId = 3; string sipMessage = 4"},
    {"callMessages.proto", "EarlyCallNotification", "int32 accountId = 1; int32 callId = 2; int32 pjsipCallId = 3; string routeName = 4"},
    {"callMessages.proto", "HoldStateChangedNotification", "int32 accountId = 1; int32 callId = 2; int32 pjsipCallId = 3; bool isHold = 4"},
    {"callMessages.proto", "ConfirmedCallNotification", "int32 accountId = 1; int32 callId = 2; int32 pjsipCallId = 3"},
    {"callMessages.proto", "TerminatedCallNotification", "int32 accountId = 1; int32 callId = 2; int32 pjsipCallId = 3; CallTerminationReason reason = 4"},
    {"callMessages.proto", "MakeCallAction", "int32 accountId = 1; string phoneNumber = 2; bool hasVideo = 3"},
    {"callMessages.proto", "DialAction", "int32 callId = 1"},
    {"callMessages.proto", "HangUpAction", "int32 callId = 1"},
    {"callMessages.proto", "AnswerAudioAction", "int32 callId = 1"},
    {"callMessages.proto", "DialDtmfAction", "int32 callId = 1; string digit = 2"},
    {"callMessages.proto", "GetCallAction", "int32 accountId = 1; int32 pjsipCallId = 2"},
    {"callMessages.proto", "CallMediaStateNotification", "int32 accountId = 1; int32 callId = 2; string codecName = 3; uint32 codecClockRate = 4; int32 mediaState = 5; bool srtpActive = 6; bool sdpOffer = 7; string displayName = 8; string displayNumber = 9; int32 sipStatus = 10"},
    {"callMessages.proto", "MosUpdateAction", "int32 callId = 1"},
    {"callMessages.proto", "MosUpdateAnswer", "int32 accountId = 1; int32 callId = 2; int32 durationDelta = 3; float txMos = 4; int64 txPackets = 5; int64 txBytes = 6; int64 txPacketsDelta = 7; int64 txBytesDelta = 8; float rxMos = 9; int64 rxPackets = 10; int64 rxBytes = 11; int64 rxPacketsDelta = 12; int64 rxBytesDelta = 13; float averageMos = 14"},
    {"callMessages.proto", "CallHoldAction", "int32 accountId = 1; int32 callId = 2; bool hold = 3; bool autoHoldOthers = 4"},
    {"callMessages.proto", "CallMuteMicrophoneAction", "int32 accountId = 1; int32 callId = 2; bool mute = 3"},
    {"callMessages.proto", "CallMuteSpeakerAction", "int32 accountId = 1; int32 callId = 2; bool mute = 3"},
    {"callMessages.proto", "CallMergeAction", "int32 accountId = 1; int32 callId = 2"},
    {"callMessages.proto", "JoinConferenceAction", "int32 accountId = 1; int32 callId = 2"},
    {"callMessages.proto", "LeaveConferenceAction", "int32 accountId = 1; int32 callId = 2"},
    {"callMessages.proto", "ForwardAction", "int32 accountId = 1; int32 callId = 2; string targetNumber = 3"},
    {"appMessages.proto", "AppStartAction", "string appVersion = 1; int32 protocolVersion = 2"},
    {"appMessages.proto", "AppStartAnswer", "Ack ack = 1; string remoteVersion = 2; Platform remotePlatform = 4; int32 protocolVersion = 3"},
    {"appMessages.proto", "AppStartLogTransferAction", ""},
    {"appMessages.proto", "AppStartLogTransferAnswer", "Ack ack = 1; int32 count = 2"},
    {"appMessages.proto", "AppStopLogTransferAction", ""},
    {"appMessages.proto", "AppTransferLogPartAction", "int32 index = 1"},
    {"appMessages.proto", "AppTransferLogPartAnswer", "Ack ack = 1; int32 index = 2; bytes log = 3"},
};

struct EnumSpec {
    const char* name; // relative to the package
    const char* values;
};

const std::vector<EnumSpec> kEnums = {
    {"Ack.StatusCode", "SUCCESS = 0, FAILED = 1, TIMEOUT = 2"},
    {"SipStackStatusAnswer.SipStatus", "STOPPED = 0, RUNNING = 1, SHUTDOWN = 2, ERROR = 3"},
    {"CallTerminationReason",
     "CALL_TERMINATION_REASON_UNKNOWN = 0, CALL_TERMINATION_REASON_NOT_FOUND = 1, "
     "CALL_TERMINATION_REASON_BUSY_HERE = 2"},
    {"Platform", "LINUX = 0, WINDOWS = 1"},
};

struct MemberSpec {
    int number;
    const char* name;
    const char* type;
};

// The envelope's one-of in declaration order (not number order).
const std::vector<MemberSpec> kEnvelope = {
    {1, "ack", "Ack"},
    {2, "objectIdResponse", "ObjectIdResponse"},
    {3, "sipStackStartAction", "SipStackStartAction"},
    {4, "sipStackStopAction", "SipStackStopAction"},
    {5, "sipStackStatusQuery", "SipStackStatusQuery"},
    {6, "sipStackStatusAnswer", "SipStackStatusAnswer"},
    {7, "sipStackCodecPrioAction", "SipStackCodecPrioAction"},
    {8, "createAccountAction", "CreateAccountAction"},
    {9, "createAccountAnswer", "CreateAccountAnswer"},
    {10, "deleteAccountAction", "DeleteAccountAction"},
    {11, "setRegistrationAction", "SetRegistrationAction"},
    {12, "updateAccountPasswordAction", "UpdateAccountPasswordAction"},
    {13, "accountRegStateChangedNotification", "AccountRegStateChangedNotification"},
    {14, "audioPlayerCreateAction", "AudioPlayerCreateAction"},
    {15, "audioPlayerPlayAction", "AudioPlayerPlayAction"},
    {16, "audioPlayerStopAction", "AudioPlayerStopAction"},
    {17, "audioPlayerDisposeAction", "AudioPlayerDisposeAction"},
    {18, "audioRecorderCreateAction", "AudioRecorderCreateAction"},
    {19, "audioRecorderStartAction", "AudioRecorderStartAction"},
    {20, "audioRecorderStopAction", "AudioRecorderStopAction"},
    {21, "audioRecorderDisposeAction", "AudioRecorderDisposeAction"},
    {22, "audioDeviceManagerCreateAction", "AudioDeviceManagerCreateAction"},
    {58, "audioDeviceManagerCreateAnswer", "AudioDeviceManagerCreateAnswer"},
    {23, "audioDeviceNotification", "AudioDeviceNotification"},
    {24, "audioDeviceDefaultChangedAction", "AudioDeviceDefaultChangedAction"},
    {56, "audioDeviceSetExtraPlaybackDeviceAction", "AudioDeviceSetExtraPlaybackDeviceAction"},
    {25, "incomingCallNotification", "IncomingCallNotification"},
    {26, "earlyCallNotification", "EarlyCallNotification"},
    {27, "confirmedCallNotification", "ConfirmedCallNotification"},
    {28, "terminatedCallNotification", "TerminatedCallNotification"},
    {29, "callMediaStateNotification", "CallMediaStateNotification"},
    {30, "holdStateChangedNotification", "HoldStateChangedNotification"},
    {31, "makeCallAction", "MakeCallAction"},
    {32, "dialAction", "DialAction"},
    {33, "hangUpAction", "HangUpAction"},
    {34, "answerAudioAction", "AnswerAudioAction"},
    {35, "getCallAction", "GetCallAction"},
    {36, "dialDtmfAction", "DialDtmfAction"},
    {57, "forwardAction", "ForwardAction"},
    {37, "mosUpdateAction", "MosUpdateAction"},
    {38, "mosUpdateAnswer", "MosUpdateAnswer"},
    {39, "callHoldAction", "CallHoldAction"},
    {40, "callMuteMicrophoneAction", "CallMuteMicrophoneAction"},
    {41, "callMuteSpeakerAction", "CallMuteSpeakerAction"},
    {42, "callMergeAction", "CallMergeAction"},
    {43, "playbackLevelAction", "PlaybackLevelAction"},
    {44, "captureLevelAction", "CaptureLevelAction"},
    {59, "muteMicrophoneAction", "MuteMicrophoneAction"},
    {45, "startConferenceAction", "StartConferenceAction"},
    {46, "stopConferenceAction", "StopConferenceAction"},
    {47, "joinConferenceAction", "JoinConferenceAction"},
    {48, "leaveConferenceAction", "LeaveConferenceAction"},
    {49, "appStartAction", "AppStartAction"},
    {50, "appStartAnswer", "AppStartAnswer"},
    {51, "appStartLogTransferAction", "AppStartLogTransferAction"},
    {52, "appStartLogTransferAnswer", "AppStartLogTransferAnswer"},
    {53, "appStopLogTransferAction", "AppStopLogTransferAction"},
    {54, "appTransferLogPartAction", "AppTransferLogPartAction"},
    {55, "appTransferLogPartAnswer", "AppTransferLogPartAnswer"},
};

std::string relativeName(const std::string& fullName)
{
    const std::string prefix = kPackage + ".";
    return fullName.rfind(prefix, 0) == 0 ? fullName.substr(prefix.size()) : fullName;
}

std::string typeOf(const FieldDescriptor& field)
{
    switch (field.type()) {
    case FieldDescriptor::TYPE_MESSAGE:
        return relativeName(field.message_type()->full_name());
    case FieldDescriptor::TYPE_ENUM:
        return relativeName(field.enum_type()->full_name());
    default:
        return field.type_name();
    }
}

std::string describeFields(const Descriptor& message)
{
    std::string text;
    for (int i = 0; i < message.field_count(); ++i) {
        const FieldDescriptor& field = *message.field(i);
        if (!text.empty())
            text += "; ";
        if (field.is_repeated())
            text += "repeated ";
        text += typeOf(field) + " " + field.name() + " = " + std::to_string(field.number());
    }
    return text;
}

std::string describeValues(const EnumDescriptor& e)
{
    std::string text;
    for (int i = 0; i < e.value_count(); ++i) {
        if (!text.empty())
            text += ", ";
        text += e.value(i)->name() + " = " + std::to_string(e.value(i)->number());
    }
    return text;
}

const FileDescriptor& file(const std::string& name)
{
    // Touching the envelope links in and registers all seven files.
    Proto::CitrixMessage::descriptor();
    const FileDescriptor* found = DescriptorPool::generated_pool()->FindFileByName(name);
    if (found == nullptr)
        throw std::runtime_error("schema file not registered: " + name);
    return *found;
}

// Number of fields set in an options message; the schema sets none but
// csharp_namespace, and no message, field or enum carries options.
int optionCount(const google::protobuf::Message& options)
{
    std::vector<const FieldDescriptor*> set;
    options.GetReflection()->ListFields(options, &set);
    return static_cast<int>(set.size()) + (options.GetReflection()->GetUnknownFields(options).empty() ? 0 : 1);
}

TEST(Schema, FilesHaveTheirPackageOptionAndImportsOnly)
{
    for (const FileSpec& spec : kFiles) {
        SCOPED_TRACE(spec.name);
        const FileDescriptor& f = file(spec.name);
        EXPECT_EQ(f.package(), kPackage);
        EXPECT_EQ(f.syntax(), FileDescriptor::SYNTAX_PROTO3);
        EXPECT_EQ(f.options().csharp_namespace(), "Tarvent.Farrowlink.Pjsip.Citrix.Proto");
        EXPECT_EQ(optionCount(f.options()), 1);
        EXPECT_EQ(f.service_count(), 0);
        EXPECT_EQ(f.extension_count(), 0);
        EXPECT_EQ(f.public_dependency_count(), 0);
        EXPECT_EQ(f.weak_dependency_count(), 0);

        std::vector<std::string> imports;
        for (int i = 0; i < f.dependency_count(); ++i)
            imports.push_back(f.dependency(i)->name());
        EXPECT_EQ(imports, spec.imports);

        std::vector<std::string> enums;
        for (int i = 0; i < f.enum_type_count(); ++i)
            enums.push_back(f.enum_type(i)->name());
        EXPECT_EQ(enums, spec.enums);
    }
}

TEST(Schema, EveryMessageHasItsFieldsInDeclarationOrder)
{
    std::vector<std::string> expectedOrder;
    for (const MessageSpec& spec : kMessages)
        expectedOrder.push_back(std::string(spec.file) + ":" + spec.name);
    expectedOrder.push_back("citrixMessage.proto:CitrixMessage");

    std::vector<std::string> actualOrder;
    int enumCount = 0;
    for (const FileSpec& fileSpec : kFiles) {
        const FileDescriptor& f = file(fileSpec.name);
        enumCount += f.enum_type_count();
        for (int i = 0; i < f.message_type_count(); ++i) {
            const Descriptor& message = *f.message_type(i);
            actualOrder.push_back(std::string(fileSpec.name) + ":" + message.name());
            enumCount += message.enum_type_count();
            SCOPED_TRACE(message.name());
            EXPECT_EQ(message.nested_type_count(), 0);
            EXPECT_EQ(message.extension_range_count(), 0);
            EXPECT_EQ(message.reserved_range_count(), 0);
            EXPECT_EQ(optionCount(message.options()), 0);
            EXPECT_EQ(message.oneof_decl_count(), message.name() == "CitrixMessage" ? 1 : 0);
            for (int j = 0; j < message.field_count(); ++j) {
                EXPECT_EQ(optionCount(message.field(j)->options()), 0) << message.field(j)->name();
                EXPECT_FALSE(message.field(j)->has_optional_keyword()) << message.field(j)->name();
            }
        }
    }
    EXPECT_EQ(actualOrder, expectedOrder);
    EXPECT_EQ(actualOrder.size(), 61u);
    EXPECT_EQ(enumCount, 4);

    for (const MessageSpec& spec : kMessages) {
        SCOPED_TRACE(spec.name);
        const Descriptor* message =
            DescriptorPool::generated_pool()->FindMessageTypeByName(kPackage + "." + spec.name);
        ASSERT_NE(message, nullptr);
        EXPECT_EQ(message->file()->name(), spec.file);
        EXPECT_EQ(describeFields(*message), spec.fields);
    }
}

TEST(Schema, EnumsHaveTheirValues)
{
    for (const EnumSpec& spec : kEnums) {
        SCOPED_TRACE(spec.name);
        const EnumDescriptor* e = DescriptorPool::generated_pool()->FindEnumTypeByName(kPackage + "." + spec.name);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(describeValues(*e), spec.values);
        EXPECT_EQ(optionCount(e->options()), 0);
    }
}

TEST(Schema, EnvelopeIsOneOneOfOfAllMembersInDeclarationOrder)
{
    const Descriptor& envelope = *Proto::CitrixMessage::descriptor();
    ASSERT_EQ(envelope.oneof_decl_count(), 1);
    const auto& inner = *envelope.oneof_decl(0);
    EXPECT_EQ(inner.name(), "inner");
    ASSERT_EQ(envelope.field_count(), static_cast<int>(kEnvelope.size()));
    EXPECT_EQ(inner.field_count(), envelope.field_count());

    std::set<int> numbers;
    for (int i = 0; i < envelope.field_count(); ++i) {
        const FieldDescriptor& field = *envelope.field(i);
        const MemberSpec& spec = kEnvelope[static_cast<size_t>(i)];
        SCOPED_TRACE(spec.name);
        EXPECT_EQ(field.number(), spec.number);
        EXPECT_EQ(field.name(), spec.name);
        EXPECT_EQ(typeOf(field), spec.type);
        EXPECT_EQ(field.type(), FieldDescriptor::TYPE_MESSAGE);
        EXPECT_EQ(field.containing_oneof(), &inner);
        // Member name is the type name with a lower-case first letter.
        std::string derived = spec.type;
        derived[0] = static_cast<char>(derived[0] - 'A' + 'a');
        EXPECT_EQ(derived, spec.name);
        numbers.insert(field.number());
    }
    EXPECT_EQ(numbers.size(), 59u);
    EXPECT_EQ(*numbers.begin(), 1);
    EXPECT_EQ(*numbers.rbegin(), 59);
}

TEST(Schema, OnlyTheTwoListsAreRepeatedAndAccountIdsIsPacked)
{
    std::vector<std::string> repeated;
    for (const FileSpec& fileSpec : kFiles) {
        const FileDescriptor& f = file(fileSpec.name);
        for (int i = 0; i < f.message_type_count(); ++i)
            for (int j = 0; j < f.message_type(i)->field_count(); ++j)
                if (f.message_type(i)->field(j)->is_repeated())
                    repeated.push_back(f.message_type(i)->field(j)->full_name());
    }
    EXPECT_EQ(repeated, (std::vector<std::string>{kPackage + ".StartConferenceAction.accountIds",
                                                  kPackage + ".AudioDeviceNotification.audioDevices"}));
    EXPECT_TRUE(Proto::StartConferenceAction::descriptor()->field(0)->is_packed());
}

} // namespace
} // namespace Tarvent::VirtualChannel
