#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/EngineTestSupport.h"
#include "support/ChildProcess.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;
using Proto::SipStackStatusAnswer;
using TestSupport::ChildProcess;
using TestSupport::CitrixTestClient;
using TestSupport::EngineProcess;
using TestSupport::Message;
using TestSupport::RunningEngine;
using TestSupport::TempDir;

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

TEST(EngineEndToEnd, HandshakeStackAndAnOrderlyStopOnSigterm)
{
    RunningEngine e;
    ASSERT_TRUE(e.ready()) << e.engine().console();

    const Message started = e.request(TestSupport::appStart(1));
    ASSERT_TRUE(started.has_appstartanswer()) << started.ShortDebugString();
    EXPECT_EQ(started.appstartanswer().ack().statuscode(), Proto::Ack::SUCCESS);
    EXPECT_EQ(started.appstartanswer().remoteplatform(), Proto::LINUX);
    EXPECT_EQ(started.appstartanswer().remoteversion(), "5.0.1151");
    EXPECT_EQ(started.appstartanswer().protocolversion(), 2);

    EXPECT_EQ(e.request(TestSupport::stackQuery()).sipstackstatusanswer().status(), SipStackStatusAnswer::STOPPED);
    const Message running = e.request(TestSupport::stackStart(), 30s);
    EXPECT_EQ(running.sipstackstatusanswer().ack().statuscode(), Proto::Ack::SUCCESS)
        << running.ShortDebugString() << e.engine().log();
    EXPECT_EQ(running.sipstackstatusanswer().status(), SipStackStatusAnswer::RUNNING);
    EXPECT_EQ(e.request(TestSupport::stackQuery()).sipstackstatusanswer().status(), SipStackStatusAnswer::RUNNING);
    EXPECT_EQ(e.request(TestSupport::stackStop(), 30s).sipstackstatusanswer().status(),
              SipStackStatusAnswer::STOPPED);
    // Started again, so that SIGTERM has a running stack to stop.
    EXPECT_EQ(e.request(TestSupport::stackStart(), 30s).sipstackstatusanswer().status(),
              SipStackStatusAnswer::RUNNING);

    EXPECT_EQ(e.terminate(), 0) << e.engine().console();
    const std::string log = e.engine().log();
    EXPECT_EQ(log.find("OVRA started: version=\"5.0.1151\""), log.find("OVRA started"));
    EXPECT_TRUE(contains(log, "Writing passive socket port to registry: path=\"HKEY_LOCAL_MACHINE\\Software\\Citrix"
                              "\\ICA Client\\Engine\\Configuration\\Advanced\\Modules\\VDOVRA\\Port\", port="));
    const auto exiting = log.find("Exiting OVRA");
    ASSERT_NE(exiting, std::string::npos) << log;
    // The teardown stops the stack after the channel, and nothing is logged as failed.
    EXPECT_NE(log.find("Stopping SIP stack", exiting), std::string::npos) << log;
    EXPECT_FALSE(contains(log, "Shutdown step failed")) << log;
    EXPECT_FALSE(contains(log, "Teardown step failed")) << log;
}

TEST(EngineEndToEnd, MalformedPacketsAndUnknownMessagesLeaveTheChannelServing)
{
    RunningEngine e;
    ASSERT_TRUE(e.ready()) << e.engine().console();
    CitrixTestClient& client = e.client();

    // Not a protobuf message at all, an empty command, and messages only the engine sends.
    ASSERT_TRUE(client.channel().sendPacket(0, client.nextId(), std::string("\xff\xff\xff\xff\x0f garbage", 13)));
    ASSERT_TRUE(client.channel().sendPacket(0, client.nextId(), std::string()));
    Message notification;
    notification.mutable_accountregstatechangednotification()->set_accountid(1);
    ASSERT_TRUE(client.channel().sendPacket(0, client.nextId(), notification.SerializeAsString()));
    // An answer to a command the engine never sent.
    ASSERT_TRUE(client.channel().sendPacket(1, 987654321, std::string("junk")));

    // Commands on objects that don't exist are refused, not crashed on.
    // The stack is stopped: the unknown id is what the client reads.
    Message hangUp;
    hangUp.mutable_hangupaction()->set_callid(42);
    EXPECT_EQ(e.ack(hangUp).statusmessage(), "Invalid call ID: callId=42");
    Message account;
    account.mutable_setregistrationaction()->set_accountid(7);
    EXPECT_EQ(e.ack(account).statusmessage(), "Invalid account ID: accountId=7");

    const Message status = e.request(TestSupport::stackQuery());
    EXPECT_EQ(status.sipstackstatusanswer().status(), SipStackStatusAnswer::STOPPED) << status.ShortDebugString();

    // A header announcing an impossible length ends that connection only.
    std::vector<unsigned char> bad = TestSupport::ChannelTestClient::encode(0, 99, "x");
    bad[0] = bad[1] = bad[2] = bad[3] = 0xff;
    ASSERT_TRUE(client.channel().sendRaw(bad));
    EXPECT_TRUE(client.channel().waitForClose(10s));
    const auto port = e.engine().waitForPort();
    ASSERT_TRUE(port);
    CitrixTestClient second(*port);
    EXPECT_EQ(second.request(TestSupport::stackQuery())->sipstackstatusanswer().status(),
              SipStackStatusAnswer::STOPPED);
    EXPECT_TRUE(e.engine().process().running());
    EXPECT_EQ(e.terminate(), 0);
    EXPECT_TRUE(contains(e.engine().log(), "Received message of unknown type")) << e.engine().log();
}

TEST(EngineEndToEnd, TheLogTransfersAsAZipHoldingTheLog)
{
    RunningEngine e;
    ASSERT_TRUE(e.ready()) << e.engine().console();
    CitrixTestClient& client = e.client();
    ASSERT_TRUE(e.request(TestSupport::appStart(2)).has_appstartanswer());
    // Text that packs badly, logged by the engine: an archive of many parts.
    std::mt19937 random(12);
    const std::string letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::vector<std::string> numbers;
    for (int i = 0; i < 20; ++i) {
        std::string number;
        for (int c = 0; c < 1500; ++c) {
            number += letters[random() % letters.size()];
        }
        Message call;
        call.mutable_makecallaction()->set_accountid(1);
        call.mutable_makecallaction()->set_phonenumber(number);
        EXPECT_EQ(e.ack(call).statuscode(), Proto::Ack::FAILED);
        numbers.push_back(number);
    }

    // A large id: the late answer must carry all 64 bits of it.
    const std::uint64_t requestId = 0x1234567890abcdefULL;
    Message start;
    start.mutable_appstartlogtransferaction();
    const auto started = client.request(start, requestId, 30s);
    ASSERT_TRUE(started) << e.engine().log();
    ASSERT_TRUE(started->has_appstartlogtransferanswer()) << started->ShortDebugString();
    ASSERT_EQ(started->appstartlogtransferanswer().ack().statuscode(), Proto::Ack::SUCCESS)
        << started->ShortDebugString();
    const int count = started->appstartlogtransferanswer().count();
    ASSERT_GE(count, 5);

    // Fetched out of order: each answer is told apart by its message id alone
    // (the engine leaves the answer's index at 0), and every part but the
    // last is a whole 2000 bytes.
    std::vector<int> order(static_cast<std::size_t>(count));
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), random);
    std::vector<std::string> parts(order.size());
    for (const int index : order) {
        Message part;
        part.mutable_apptransferlogpartaction()->set_index(index);
        const Message answer = e.request(part);
        ASSERT_EQ(answer.apptransferlogpartanswer().ack().statuscode(), Proto::Ack::SUCCESS)
            << answer.ShortDebugString();
        EXPECT_EQ(answer.apptransferlogpartanswer().index(), 0);
        parts[static_cast<std::size_t>(index)] = answer.apptransferlogpartanswer().log();
    }
    std::string zip;
    for (std::size_t index = 0; index < parts.size(); ++index) {
        if (index + 1 < parts.size()) {
            EXPECT_EQ(parts[index].size(), 2000u) << index;
        } else {
            EXPECT_GE(parts[index].size(), 1u);
            EXPECT_LE(parts[index].size(), 2000u);
        }
        zip += parts[index];
    }
    Message beyond;
    beyond.mutable_apptransferlogpartaction()->set_index(count);
    EXPECT_EQ(e.ack(beyond).statuscode(), Proto::Ack::FAILED);
    Message stop;
    stop.mutable_appstoplogtransferaction();
    EXPECT_EQ(e.ack(stop).statuscode(), Proto::Ack::SUCCESS);

    // The reassembled archive is a zip file that lists ovra.log and unpacks to the log.
    TempDir out("ovra-zip");
    std::ofstream(out.file("log.zip"), std::ios::binary) << zip;
    EXPECT_EQ(zip.compare(0, 4, "PK\x03\x04"), 0);
    const auto listing = ChildProcess::run({"unzip", "-l", out.file("log.zip")});
    EXPECT_EQ(listing.status, 0) << listing.output;
    EXPECT_TRUE(contains(listing.output, "ovra.log")) << listing.output;
    const auto unpacked = ChildProcess::run({"unzip", "-p", out.file("log.zip"), "ovra.log"});
    EXPECT_TRUE(contains(unpacked.output, "OVRA started: version=\"5.0.1151\"")) << unpacked.output.substr(0, 500);
    for (const std::string& number : numbers) {
        EXPECT_TRUE(contains(unpacked.output, "phoneNumber=\"" + number + "\""));
    }
    EXPECT_EQ(e.terminate(), 0);
}

TEST(EngineEndToEnd, SilenceShutsTheStackDownOnePeriodAfterAStackStart)
{
    RunningEngine e;
    ASSERT_TRUE(e.ready()) << e.engine().console();
    // The start takes a while on the SIP core thread: the period counts from its end.
    TestSupport::expectOnePeriod(TestSupport::idleShutdownAfter(e, TestSupport::stackStart()), "a stack start");
    EXPECT_EQ(e.request(TestSupport::stackQuery()).sipstackstatusanswer().status(), SipStackStatusAnswer::STOPPED);
    EXPECT_EQ(e.terminate(), 0);
}

TEST(EngineEndToEnd, SilenceShutsTheStackDownOnePeriodAfterAStatusQuery)
{
    RunningEngine e;
    ASSERT_TRUE(e.ready()) << e.engine().console();
    ASSERT_EQ(e.request(TestSupport::stackStart(), 30s).sipstackstatusanswer().status(),
              SipStackStatusAnswer::RUNNING);
    std::this_thread::sleep_for(3s);
    TestSupport::expectOnePeriod(TestSupport::idleShutdownAfter(e, TestSupport::stackQuery()), "a status query");
    const std::string log = e.engine().log();
    // The later ticks find the stack stopped: one shutdown only.
    EXPECT_EQ(log.find(TestSupport::kIdleShutdownLine), log.rfind(TestSupport::kIdleShutdownLine));
    EXPECT_EQ(e.request(TestSupport::stackQuery()).sipstackstatusanswer().status(), SipStackStatusAnswer::STOPPED);
    EXPECT_EQ(e.terminate(), 0);
}

TEST(EngineEndToEnd, AStartThatFailsUnwindsAndExitsWithTheReason)
{
    TempDir dir("ovra-e2e");
    // The registry folder is a file: the port can't be published.
    ASSERT_EQ(::mkdir(dir.file("TARVENT").c_str(), 0755), 0);
    std::ofstream(dir.file("TARVENT/registry")) << "not a folder";
    EngineProcess engine(TestSupport::engineBinary(), dir.path());
    EXPECT_EQ(engine.process().waitFor(20s), 1) << engine.console();
    EXPECT_TRUE(contains(engine.console(), "Failed to start application: Failed to create registry key: result="))
        << engine.console();
    const std::string log = engine.log();
    const auto started = log.find("OVRA started: version=\"5.0.1151\"");
    const auto failed = log.find("Failed to start application: Failed to create registry key");
    ASSERT_NE(started, std::string::npos) << log;
    ASSERT_NE(failed, std::string::npos) << log;
    EXPECT_LT(started, failed) << log;
    // The listener was closed again before the process ended, after the
    // failure was logged; nothing says that the engine ran.
    const auto closed = log.find("Closing passive socket");
    EXPECT_NE(closed, std::string::npos) << log;
    EXPECT_LT(failed, closed) << log;
    EXPECT_FALSE(contains(log, "Exiting OVRA")) << log;
}

TEST(EngineEndToEnd, InstallsAndUninstallsItselfAndPrintsItsHelp)
{
    TempDir dir("ovra-e2e");
    const std::string units = dir.makeDir("units");
    const std::vector<std::string> env{"OVRA_UNIT_DIR=" + units, "OVRA_PROGRAM_DATA=" + dir.file("data")};

    const auto help = ChildProcess::run({TestSupport::engineBinary(), "/?"}, 10s, env);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.output, "Options:\n/?\tprint help\n/i\tinstall service\n/u\tuninstall service\n");

    const auto install = ChildProcess::run({TestSupport::engineBinary(), "/i"}, 10s, env);
    EXPECT_EQ(install.status, 0) << install.output;
    const std::string unit = TempDir::readFile(units + "/TARVENT-OVRA.service");
    EXPECT_TRUE(contains(unit, "Description=TARVENT Orvalend Media Engine")) << unit;
    EXPECT_TRUE(contains(unit, "ExecStart=\"" + TestSupport::engineBinary() + "\"")) << unit;
    EXPECT_TRUE(contains(unit, "Type=notify")) << unit;
    EXPECT_TRUE(contains(unit, "WantedBy=multi-user.target")) << unit;
    struct stat info {};
    EXPECT_EQ(::stat(dir.file("data/TARVENT/OVRA/records").c_str(), &info), 0);

    const auto uninstall = ChildProcess::run({TestSupport::engineBinary(), "/U"}, 10s, env);
    EXPECT_EQ(uninstall.status, 0) << uninstall.output;
    EXPECT_NE(::stat((units + "/TARVENT-OVRA.service").c_str(), &info), 0);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
