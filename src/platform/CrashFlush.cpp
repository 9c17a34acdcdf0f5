#include "platform/CrashFlush.h"

#include <signal.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>

namespace Tarvent::VirtualChannel {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS, SIGQUIT};
constexpr int kSignalCount = static_cast<int>(sizeof kFatalSignals / sizeof kFatalSignals[0]);

// Read in signal context: plain atomics, no lock.
// Each slot holds a registered object, whose function and context are constants.
std::atomic<const CrashFlush*> gSlots[CrashFlush::kMaxFlushes];
// Functions being run by a crash handler right now; an unregistration waits for 0.
std::atomic<int> gRunning{0};

// Written once, under gInstallMutex, before the handlers that read them exist.
struct sigaction gPreviousActions[kSignalCount];
std::terminate_handler gPreviousTerminate = nullptr;
std::mutex gInstallMutex;  // guards gInstalled and the two above while installing; a leaf lock
bool gInstalled = false;

void runFlushes() noexcept
{
    gRunning.fetch_add(1, std::memory_order_acq_rel);
    for (auto& slot : gSlots) {
        if (const CrashFlush* const flush = slot.load(std::memory_order_acquire)) {
            flush->run();
        }
    }
    gRunning.fetch_sub(1, std::memory_order_acq_rel);
}

void onFatalSignal(int signal, siginfo_t* info, void*)
{
    const int savedErrno = errno;
    runFlushes();
    // What was there before (the default action, or a sanitizer's report)
    // takes over: a fault raised by the kernel comes again when the
    // instruction is retried; a signal sent by a process (abort() included)
    // is sent again and delivered once this handler returns.
    for (int i = 0; i < kSignalCount; ++i) {
        if (kFatalSignals[i] == signal) {
            ::sigaction(signal, &gPreviousActions[i], nullptr);
        }
    }
    if (info == nullptr || info->si_code <= 0) {
        ::raise(signal);
    }
    errno = savedErrno;
}

[[noreturn]] void onTerminate()
{
    runFlushes();
    if (gPreviousTerminate != nullptr) {
        gPreviousTerminate();
    }
    std::abort();
}

void installHandlers()
{
    const std::lock_guard<std::mutex> lock(gInstallMutex);
    if (gInstalled) {
        return;
    }
    gInstalled = true;
    gPreviousTerminate = std::set_terminate(&onTerminate);
    for (int i = 0; i < kSignalCount; ++i) {
        struct sigaction action {};
        action.sa_sigaction = &onFatalSignal;
        // The signal stays blocked while its handler runs, so that the one it
        // sends again waits for the earlier action to be back in place.
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        ::sigaction(kFatalSignals[i], &action, &gPreviousActions[i]);
    }
}

}  // namespace

CrashFlush::CrashFlush(Function function, void* context) : function_(function), context_(context)
{
    installHandlers();
    for (int i = 0; i < kMaxFlushes; ++i) {
        const CrashFlush* expected = nullptr;
        if (gSlots[i].compare_exchange_strong(expected, this, std::memory_order_acq_rel)) {
            slot_ = i;
            return;
        }
    }
}

CrashFlush::~CrashFlush()
{
    if (slot_ < 0) {
        return;
    }
    gSlots[slot_].store(nullptr, std::memory_order_release);
    // A crash handler on another thread may have read the slot just before.
    // It ends the process when it is done, so this wait ends either way.
    while (gRunning.load(std::memory_order_acquire) != 0) {
        std::this_thread::yield();
    }
}

void CrashFlush::pause(std::chrono::milliseconds duration) noexcept
{
    timespec left{static_cast<time_t>(duration.count() / 1000), static_cast<long>(duration.count() % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace Tarvent::VirtualChannel
