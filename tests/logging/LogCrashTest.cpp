#include <gtest/gtest.h>

#include <sys/wait.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>

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

void faultOnPurpose()
{
    // Not null, so that no sanitizer steps in before the fault; volatile, so
    // that the compiler cannot see it coming.
    volatile std::uintptr_t address = 8;
    *reinterpret_cast<volatile int*>(address) = 1;
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

TEST_F(LogCrashTest, AnAbortWritesEveryQueuedLineFirst)
{
    EXPECT_EXIT(logThenDie(dir.path(), [] { std::abort(); }), [](int s) { return killedBy(s, SIGABRT); }, "");
    EXPECT_EQ(log(), expectedLog());
}

TEST_F(LogCrashTest, ASegmentationFaultWritesEveryQueuedLineFirst)
{
    EXPECT_EXIT(logThenDie(dir.path(), faultOnPurpose), [](int s) { return killedBy(s, SIGSEGV); }, "");
    EXPECT_EQ(log(), expectedLog());
}

TEST_F(LogCrashTest, AnExceptionThatLeavesAThreadWritesEveryQueuedLineFirst)
{
    EXPECT_EXIT(logThenDie(dir.path(),
                           [] {
                               std::thread([] { throw std::runtime_error("nobody catches this"); }).join();
                           }),
                [](int s) { return killedBy(s, SIGABRT); }, "nobody catches this");
    EXPECT_EQ(log(), expectedLog());
}

TEST_F(LogCrashTest, ASignalSentFromOutsideWritesEveryQueuedLineFirst)
{
    EXPECT_EXIT(logThenDie(dir.path(), [] { std::raise(SIGQUIT); }), [](int s) { return killedBy(s, SIGQUIT); },
                "");
    EXPECT_EQ(log(), expectedLog());
}

TEST_F(LogCrashTest, AnExitWritesEveryQueuedLineFirst)
{
    EXPECT_EXIT(logThenDie(dir.path(), [] { std::exit(3); }), testing::ExitedWithCode(3), "");
    EXPECT_EQ(log(), expectedLog());
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
