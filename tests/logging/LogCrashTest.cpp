#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "logging/FileAppender.h"
#include "logging/Logger.h"
#include "logging/TempDir.h"

namespace Tarvent::VirtualChannel {
namespace {

using TestSupport::readFile;
using TestSupport::TempDir;

constexpr int kLines = 3000;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// In the child: the engine's kind of log (write-behind), lines below error
// level, then the way out under test, at once, while lines are still queued.
template <typename Die>
void logThenDie(const std::string& directory, Die die)
{
    FileAppenderConfig config;
    config.directory = directory;
    config.fileName = "ovra";
    config.writeBehind = true;
    auto appender = std::make_unique<FileAppender>(config);
    appender->setLayout(nullptr);
    Logger::instance().addAppender(std::move(appender));
    for (int i = 0; i < kLines; ++i) {
        logInfo("line %d", i);
    }
    die();
}

std::string expectedLog()
{
    std::string text;
    for (int i = 0; i < kLines; ++i) {
        text += "line " + std::to_string(i) + "\n";
    }
    return text;
}

// Killed by `signal`, as without the handler; a sanitizer's own handler
// may end the process its own way after the log was written.
bool killedBy(int status, int signal)
{
    return kSanitized ? !(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                      : WIFSIGNALED(status) && WTERMSIG(status) == signal;
}

// faultOnPurpose's length at most (sanitizers' instrumentation included).
constexpr std::uintptr_t kFunctionBytes = 512;

[[gnu::noinline]] void faultOnPurpose()
{
    // Not null, so that no sanitizer steps in before the fault; volatile, so
    // that the compiler cannot see it coming.
    volatile std::uintptr_t address = 8;
    *reinterpret_cast<volatile int*>(address) = 1;
}

// What the log holds after the queued lines (which must come first, whole):
// the crash report's lines.
std::vector<std::string> crashReport(const std::string& log)
{
    const std::string lines = expectedLog();
    EXPECT_EQ(log.substr(0, lines.size()), lines);
    std::vector<std::string> report;
    std::istringstream rest(log.size() > lines.size() ? log.substr(lines.size()) : std::string());
    for (std::string line; std::getline(rest, line);) {
        report.push_back(line);
    }
    return report;
}

// A fatal line of the log's own format with `text`.
::testing::AssertionResult isFatalLine(const std::string& line, const std::string& text)
{
    static const std::regex prefix(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [0-9a-f]+ F (.*)$)");
    std::smatch match;
    if (!std::regex_match(line, match, prefix) || match[1].str().compare(0, text.size(), text) != 0) {
        return ::testing::AssertionFailure() << "not a fatal line beginning with \"" << text << "\": " << line;
    }
    return ::testing::AssertionSuccess();
}

// The value of `name` in a line of name=value fields, empty without it.
std::string field(const std::string& line, const std::string& name)
{
    const std::size_t at = line.find("; " + name + "=");
    if (at == std::string::npos) {
        return "";
    }
    const std::size_t begin = at + name.size() + 3;
    return line.substr(begin, line.find(';', begin) - begin);
}

// How far into its object the code at `address` of this process lies.
std::uintptr_t offsetInObject(const void* address)
{
    Dl_info found{};
    return ::dladdr(address, &found) != 0 ? reinterpret_cast<std::uintptr_t>(address) -
                                                reinterpret_cast<std::uintptr_t>(found.dli_fbase)
                                          : 0;
}

// Whether a frame of the report names `symbol` (an exported one).
bool hasFrameIn(const std::vector<std::string>& report, const std::string& symbol)
{
    for (const std::string& line : report) {
        if (field(line, "symbol").compare(0, symbol.size() + 1, symbol + "+") == 0) {
            return true;
        }
    }
    return false;
}

// The test's folder, also for the child: a death test's child runs the
// test again from its start in a fresh process (the "threadsafe" style, as
// the test process has threads of its own), and finds the folder here.
class CrashLogFolder {
public:
    CrashLogFolder()
    {
        if (const char* inherited = std::getenv(kVariable)) {
            path_ = inherited;
            return;
        }
        own_.emplace();
        path_ = own_->path();
        ::setenv(kVariable, path_.c_str(), 1);
    }
    ~CrashLogFolder()
    {
        if (own_) {
            ::unsetenv(kVariable);
        }
    }
    CrashLogFolder(const CrashLogFolder&) = delete;
    CrashLogFolder& operator=(const CrashLogFolder&) = delete;

    const std::string& path() const { return path_; }

private:
    static constexpr const char* kVariable = "OVRA_CRASH_TEST_FOLDER";
    std::optional<TempDir> own_;
    std::string path_;
};

class LogCrashTest : public ::testing::Test {
protected:
    LogCrashTest() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

    CrashLogFolder dir;
    std::string log() const { return readFile(dir.path() + "/ovra.log"); }
};

TEST_F(LogCrashTest, AnAbortWritesEveryQueuedLineFirstThenTheStack)
{
    EXPECT_EXIT(logThenDie(dir.path(), [] { std::abort(); }), [](int s) { return killedBy(s, SIGABRT); }, "");
    const std::vector<std::string> report = crashReport(log());
    ASSERT_GE(report.size(), 2u);
    EXPECT_TRUE(isFatalLine(report[0], "Crashed on a fatal signal: signal=6; name=SIGABRT; sent=1")) << report[0];
    EXPECT_TRUE(isFatalLine(report[1], "Stack frame: index=0; address=0x")) << report[1];
    EXPECT_TRUE(hasFrameIn(report, "abort")) << log().substr(expectedLog().size());
}

// The stack begins at the faulting instruction (the handler's own frames
// are left out), and names the library or program of each frame.
TEST_F(LogCrashTest, ASegmentationFaultWritesEveryQueuedLineFirstThenTheStack)
{
    EXPECT_EXIT(logThenDie(dir.path(), faultOnPurpose), [](int s) { return killedBy(s, SIGSEGV); }, "");
    const std::vector<std::string> report = crashReport(log());
    ASSERT_GE(report.size(), 3u);
    EXPECT_TRUE(isFatalLine(report[0], "Crashed on a fatal signal: signal=11; name=SIGSEGV; address=0x8")) << report[0];
    ASSERT_TRUE(isFatalLine(report[1], "Stack frame: index=0; address=0x")) << report[1];
    EXPECT_TRUE(isFatalLine(report[2], "Stack frame: index=1; address=0x")) << report[2];
    // The child is another process (its objects lie elsewhere): compared by offset.
    const std::string offset = field(report[1], "offset");
    ASSERT_FALSE(offset.empty()) << report[1];
    const std::uintptr_t faultAt = std::stoull(offset, nullptr, 16);
    const std::uintptr_t function = offsetInObject(reinterpret_cast<const void*>(&faultOnPurpose));
    EXPECT_GE(faultAt, function) << report[1];
    EXPECT_LT(faultAt, function + kFunctionBytes) << report[1];
    EXPECT_NE(field(report[1], "object").find("log_crash_tests"), std::string::npos) << report[1];
}

TEST_F(LogCrashTest, AnExceptionThatLeavesAThreadWritesEveryQueuedLineFirstThenTheStack)
{
    EXPECT_EXIT(logThenDie(dir.path(),
                           [] {
                               std::thread([] { throw std::runtime_error("nobody catches this"); }).join();
                           }),
                [](int s) { return killedBy(s, SIGABRT); }, "nobody catches this");
    // Reported once, by the abort that ends std::terminate.
    const std::vector<std::string> report = crashReport(log());
    ASSERT_GE(report.size(), 2u);
    EXPECT_TRUE(isFatalLine(report[0], "Crashed on a fatal signal: signal=6; name=SIGABRT; sent=1")) << report[0];
    EXPECT_TRUE(hasFrameIn(report, "abort")) << log().substr(expectedLog().size());
    for (std::size_t i = 1; i < report.size(); ++i) {
        EXPECT_TRUE(isFatalLine(report[i], "Stack frame: index=" + std::to_string(i - 1) + ";")) << report[i];
    }
}

TEST_F(LogCrashTest, ASignalSentFromOutsideWritesEveryQueuedLineFirstThenTheStack)
{
    EXPECT_EXIT(logThenDie(dir.path(), [] { std::raise(SIGQUIT); }), [](int s) { return killedBy(s, SIGQUIT); },
                "");
    const std::vector<std::string> report = crashReport(log());
    ASSERT_GE(report.size(), 2u);
    EXPECT_TRUE(isFatalLine(report[0], "Crashed on a fatal signal: signal=3; name=SIGQUIT; sent=1")) << report[0];
    EXPECT_TRUE(isFatalLine(report[1], "Stack frame: index=0; address=0x")) << report[1];
}

TEST_F(LogCrashTest, AnExitWritesEveryQueuedLineFirstAndNoReport)
{
    EXPECT_EXIT(logThenDie(dir.path(), [] { std::exit(3); }), testing::ExitedWithCode(3), "");
    EXPECT_EQ(log(), expectedLog());
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
