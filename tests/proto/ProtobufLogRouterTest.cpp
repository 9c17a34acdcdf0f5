#include "proto/ProtobufLogRouter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "proto/citrixMessage.pb.h"
#include "support/CapturingAppender.h"

namespace Tarvent::VirtualChannel {
namespace {

// A serialized AppStartAction whose appVersion is not UTF-8.
std::string invalidUtf8Payload()
{
    Proto::CitrixMessage message;
    message.mutable_appstartaction()->set_appversion("@@");
    std::string bytes = message.SerializeAsString();
    bytes.replace(bytes.find("@@"), 2, "\xFF\xFE");
    return bytes;
}

TEST(ProtobufLogRouter, TheLibrarysComplaintsGoToTheLogAtMostABurstPerWindow)
{
    TestSupport::LogCapture capture;
    ProtobufLogRouter::instance().install();
    const std::string payload = invalidUtf8Payload();
    for (int i = 0; i < 50; ++i) {
        Proto::CitrixMessage parsed;
        EXPECT_FALSE(parsed.ParseFromString(payload));
    }
    ProtobufLogRouter::instance().uninstall();

    const auto lines = capture.messages();
    const auto complaints = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("Message library: file=", 0) == 0 && line.find("invalid UTF-8") != std::string::npos &&
               line.find("appVersion") != std::string::npos;
    });
    EXPECT_EQ(static_cast<long>(ProtobufLogRouter::kBurst), complaints);
    for (const auto& line : lines) {
        EXPECT_EQ(std::string::npos, line.find('\n')) << line;
    }
}

TEST(ProtobufLogRouter, AMessageBecomesOneLineAndABurstsOverflowIsHeldBack)
{
    TestSupport::LogCapture capture;
    auto& router = ProtobufLogRouter::instance();
    for (std::size_t i = 0; i < ProtobufLogRouter::kBurst + 3; ++i) {
        router.route(1, "file.cc", 7, "first\nsecond");
    }
    EXPECT_TRUE(capture.contains("Message library: file=file.cc; line=7; message=\"first second\""));
    EXPECT_FALSE(capture.contains("suppressed"));
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
