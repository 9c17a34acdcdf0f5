// The engine executable fuzzed over its channel while it runs: every member
// of the message envelope with hostile field values, damaged and raw
// payloads, broken framing, resets, 50 connections at once and answers to
// nothing. LIVE_FUZZ_PACKETS sets the packet count (100,000 by default),
// LIVE_FUZZ_SEED replays a run (its seed is printed first).
#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "app/EngineTestSupport.h"
#include "app/LiveFuzzer.h"
#include "app/MessageFuzzer.h"
#include "support/PulseAudioFixture.h"

namespace Tarvent::VirtualChannel {
namespace {

using namespace std::chrono_literals;
using Proto::Ack;
using TestSupport::LiveFuzzer;
using TestSupport::Message;
using TestSupport::PulseAudioFixture;
using TestSupport::RunningEngine;

constexpr long kDefaultPackets = 100000;
// Descriptors the engine may hold beyond its count before the fuzzing: a
// connection or two the engine has not yet found closed.
constexpr long kDescriptorSlack = 2;

// What each of the process's descriptors refers to ("socket:[123]", a path).
std::vector<std::string> descriptors(pid_t pid)
{
    std::vector<std::string> targets;
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && it != end; it.increment(error)) {
        std::error_code unreadable;
        const auto target = std::filesystem::read_symlink(it->path(), unreadable);
        targets.push_back(it->path().filename().string() + " -> " + (unreadable ? "?" : target.string()));
    }
    return targets;
}

long descriptorCount(pid_t pid)
{
    return static_cast<long>(descriptors(pid).size());
}

std::string joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& line : lines) {
        text += line + "\n";
    }
    return text;
}

std::vector<std::string> soundFiles()
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(TestSupport::soundsFolder(), error)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

// Whatever the sanitizers or the C++ runtime print when they find a fault.
std::vector<std::string> faultReports(const std::string& console)
{
    std::vector<std::string> found;
    for (const char* marker : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                               "WARNING: ThreadSanitizer", "terminate called", "Segmentation fault"}) {
        if (console.find(marker) != std::string::npos) {
            found.emplace_back(marker);
        }
    }
    return found;
}

// The engine's error and warning lines, by their text up to the first
// field, most frequent first: where the fuzzing hurt.
std::string complaints(const std::string& log)
{
    std::map<std::string, long> counts;
    std::istringstream lines(log);
    // A line: date, time, thread id, level letter, text.
    const std::regex complaint(R"(^\S+ \S+ [0-9a-fA-F]+ ([WEF]) ([^:]*))");
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_search(line, match, complaint)) {
            ++counts[match[1].str() + " " + match[2].str()];
        }
    }
    std::vector<std::pair<long, std::string>> sorted;
    for (const auto& [text, count] : counts) {
        sorted.emplace_back(count, text);
    }
    std::sort(sorted.rbegin(), sorted.rend());
    std::string text;
    for (const auto& [count, line] : sorted) {
        text += "  " + std::to_string(count) + " x " + line + "\n";
    }
    return text;
}

std::string lastLines(const std::string& text, std::size_t count)
{
    std::size_t at = text.size();
    for (std::size_t found = 0; at > 0 && found <= count; --at) {
        if (text[at - 1] == '\n') {
            ++found;
        }
    }
    return text.substr(at);
}

// Waits until the engine holds at most `limit` descriptors (closed
// connections leave with its next poll cycle); the last count seen.
long settledDescriptorCount(pid_t pid, long limit)
{
    long count = descriptorCount(pid);
    for (int i = 0; i < 200 && count > limit; ++i) {
        std::this_thread::sleep_for(50ms);
        count = descriptorCount(pid);
    }
    return count;
}

TEST(EngineLiveFuzz, SurvivesFuzzedPacketsOnManyConnectionsAndEndsWithoutLeaks)
{
    const std::uint64_t seed = LiveFuzzer::seedFromEnvironment();
    const long packets = LiveFuzzer::packetsFromEnvironment(kDefaultPackets);
    std::cout << "live fuzz: seed=" << seed << "; packets=" << packets << " (replay: LIVE_FUZZ_SEED=" << seed
              << ")" << std::endl;

    // Devices to list, choose and play on; made before the engine, which
    // must find the server. No registrar: accounts fail to register and
    // calls fail to connect.
    PulseAudioFixture pulse;
    RunningEngine engine;
    ASSERT_TRUE(engine.ready()) << engine.engine().console();
    const pid_t pid = engine.engine().process().pid();

    // Once through everything that opens descriptors for the process's
    // life (the sound server's connection, the library's first start), so
    // that the count before compares with the count after.
    ASSERT_TRUE(engine.request(TestSupport::appStart(2)).has_appstartanswer());
    ASSERT_EQ(engine.request(TestSupport::stackStart(), 60s).sipstackstatusanswer().status(),
              Proto::SipStackStatusAnswer::RUNNING);
    Message devices;
    devices.mutable_audiodevicemanagercreateaction();
    ASSERT_EQ(engine.ack(devices).statuscode(), Ack::SUCCESS);
    // The device refresh's first round connects the process-wide watcher.
    ASSERT_TRUE(engine.waitForLog("Watching sound device changes", 15s)) << engine.engine().log();
    ASSERT_EQ(engine.ack(TestSupport::stackStop()).statuscode(), Ack::SUCCESS);
    const std::vector<std::string> held = descriptors(pid);
    const long before = static_cast<long>(held.size());
    ASSERT_GT(before, 0);
    // The fuzzing starts from a running stack with its devices, where most
    // actions reach the library.
    ASSERT_EQ(engine.request(TestSupport::stackStart(), 60s).sipstackstatusanswer().status(),
              Proto::SipStackStatusAnswer::RUNNING);
    ASSERT_EQ(engine.ack(devices).statuscode(), Ack::SUCCESS);

    LiveFuzzer::Options options;
    options.port = *engine.engine().waitForPort();
    options.seed = seed;
    options.packets = packets;
    options.soundFiles = soundFiles();
    const LiveFuzzer::Report report = LiveFuzzer(options).run();
    std::cout << "live fuzz: " << report.summary() << std::flush;

    if (!report.failures.empty() && engine.engine().process().running()) {
        engine.engine().dumpThreads("the fuzzing failed");
    }
    EXPECT_TRUE(report.failures.empty()) << report.summary() << engine.engine().console();
    ASSERT_TRUE(engine.engine().process().running()) << engine.engine().console() << "the log's end:\n"
                                                     << lastLines(engine.engine().log(), 80);
    EXPECT_GE(report.packets, packets);
    for (const int number : TestSupport::MessageFuzzer::caseNumbers()) {
        EXPECT_GT(report.cases.count(number), 0u) << "never sent: case " << number;
    }

    // Still serving: the stack stops and the status is answered, on a new
    // connection (the first one idled through the fuzzing, and a long run
    // outlasts the engine's patience with idle connections).
    TestSupport::CitrixTestClient client(options.port);
    const Message stopped = client.request(TestSupport::stackStop(), 60s).value_or(Message());
    EXPECT_EQ(stopped.sipstackstatusanswer().ack().statuscode(), Ack::SUCCESS) << stopped.ShortDebugString();
    const Message status = client.request(TestSupport::stackQuery(), 30s).value_or(Message());
    ASSERT_TRUE(status.has_sipstackstatusanswer()) << engine.engine().console();
    EXPECT_EQ(status.sipstackstatusanswer().ack().statuscode(), Ack::SUCCESS);
    EXPECT_EQ(status.sipstackstatusanswer().status(), Proto::SipStackStatusAnswer::STOPPED);
    client.channel().close();

    const long after = settledDescriptorCount(pid, before + kDescriptorSlack);
    std::cout << "live fuzz: descriptors before=" << before << "; after=" << after << std::endl;
    if (after != before) {
        std::cout << "before:\n" << joined(held) << "after:\n" << joined(descriptors(pid)) << std::flush;
    }
    EXPECT_LE(after, before + kDescriptorSlack) << "descriptors leaked; before:\n"
                                                << joined(held) << "after:\n"
                                                << joined(descriptors(pid));

    const std::string log = engine.engine().log();
    std::cout << "live fuzz: the engine's complaints:\n" << complaints(log) << std::flush;
    EXPECT_EQ(engine.terminate(60s), 0) << engine.engine().console();
    EXPECT_TRUE(faultReports(engine.engine().console()).empty()) << engine.engine().console();
}

// Inside the test's network no name server answers: a lookup ends only at
// the resolver's time-out. The fuzzing names such hosts all the time; the
// engine must go on answering meanwhile, and report each failure in the end.
TEST(EngineLiveFuzz, AccountsAndCallsAtUnresolvableHostsLeaveTheEngineAnswering)
{
    RunningEngine engine;
    ASSERT_TRUE(engine.ready()) << engine.engine().console();
    ASSERT_TRUE(engine.request(TestSupport::appStart(2)).has_appstartanswer());
    ASSERT_EQ(engine.request(TestSupport::stackStart(), 60s).sipstackstatusanswer().status(),
              Proto::SipStackStatusAnswer::RUNNING);
    const auto begin = std::chrono::steady_clock::now();
    constexpr int kAccounts = 3;
    for (int i = 1; i <= kAccounts; ++i) {
        Message create = TestSupport::createAccount("alice", "pw");
        const std::string host = "registrar" + std::to_string(i) + ".no-such-domain.invalid";
        create.mutable_createaccountaction()->set_host(host);
        create.mutable_createaccountaction()->set_realm(host);
        ASSERT_EQ(engine.request(create).createaccountanswer().objectidresponse().objectid(), i);
    }
    Message make;
    make.mutable_makecallaction()->set_accountid(1);
    make.mutable_makecallaction()->set_phonenumber("sip:bob@far.no-such-domain.invalid");
    Message dial;
    dial.mutable_dialaction()->set_callid(engine.request(make).objectidresponse().objectid());
    EXPECT_EQ(engine.ack(dial).statuscode(), Ack::SUCCESS);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(engine.ack(TestSupport::stackQuery()).statuscode(), Ack::SUCCESS) << i;
    }
    const auto answered = std::chrono::steady_clock::now();
    for (int i = 0; i < kAccounts; ++i) {
        const auto failed = engine.client().notification(
            [](const Message& m) {
                return m.has_accountregstatechangednotification() && !m.accountregstatechangednotification().isconnected();
            },
            60s);
        ASSERT_TRUE(failed) << "no failed registration " << i;
    }
    const auto reported = std::chrono::steady_clock::now();
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    std::cout << "unresolvable hosts: 24 commands answered in " << duration_cast<milliseconds>(answered - begin).count()
              << " ms; registrations reported failed after " << duration_cast<milliseconds>(reported - begin).count()
              << " ms" << std::endl;
    EXPECT_EQ(engine.terminate(), 0) << engine.engine().console();
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
