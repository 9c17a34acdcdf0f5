#include "platform/CrashFlush.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <signal.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>

#include "platform/CrashText.h"

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

// The handler's own frames above the interrupted place, and a few to spare.
constexpr int kHandlerFrames = 8;

void runFlushes(const CrashFlush::Crash& crash) noexcept
{
    gRunning.fetch_add(1, std::memory_order_acq_rel);
    for (auto& slot : gSlots) {
        if (const CrashFlush* const flush = slot.load(std::memory_order_acquire)) {
            flush->run(crash);
        }
    }
    gRunning.fetch_sub(1, std::memory_order_acq_rel);
}

std::uint32_t kernelThreadId() noexcept
{
    return static_cast<std::uint32_t>(::syscall(SYS_gettid));
}

// The instruction the signal interrupted; 0 where unknown.
std::uintptr_t interruptedAt(const void* context) noexcept
{
    const auto* const user = static_cast<const ucontext_t*>(context);
    if (user == nullptr) {
        return 0;
    }
#if defined(__x86_64__)
    return static_cast<std::uintptr_t>(user->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return static_cast<std::uintptr_t>(user->uc_mcontext.pc);
#else
    return 0;
#endif
}

bool faultHasAddress(int signal)
{
    return signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE;
}

void onFatalSignal(int signal, siginfo_t* info, void* context)
{
    const int savedErrno = errno;
    CrashFlush::Crash crash;
    crash.signal = signal;
    crash.sent = info == nullptr || info->si_code <= 0;
    if (!crash.sent && faultHasAddress(signal)) {
        crash.address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    }
    crash.threadId = kernelThreadId();
    // The unwinder reads the tables in place (it was loaded at installation):
    // no lock, no allocation. The stack starts where the signal interrupted
    // the thread; the frames above it are this handler's.
    void* frames[CrashFlush::kMaxFrames + kHandlerFrames];
    const int count = ::backtrace(frames, CrashFlush::kMaxFrames + kHandlerFrames);
    const std::uintptr_t interrupted = interruptedAt(context);
    int first = 0;
    for (int i = 0; i < count && interrupted != 0; ++i) {
        if (reinterpret_cast<std::uintptr_t>(frames[i]) == interrupted) {
            first = i;
            break;
        }
    }
    crash.frames = frames + first;
    crash.frameCount = std::min(count - first, CrashFlush::kMaxFrames);
    runFlushes(crash);
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
    CrashFlush::Crash crash;
    crash.threadId = kernelThreadId();
    runFlushes(crash);
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
    // The first backtrace loads the unwinder, which a crash handler could not.
    void* frame = nullptr;
    ::backtrace(&frame, 1);
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

void CrashFlush::describeSignal(const Crash& crash, CrashText& line) noexcept
{
    line.add("Crashed on a fatal signal: signal=").addDecimal(static_cast<std::uint64_t>(crash.signal));
    // The abbreviation comes from a constant table (async-signal-safe).
    const char* const name = ::sigabbrev_np(crash.signal);
    line.add("; name=SIG").add(name != nullptr ? name : "?");
    if (crash.sent) {
        line.add("; sent=1");
    } else if (faultHasAddress(crash.signal)) {
        line.add("; address=").addHex(crash.address);
    }
}

void CrashFlush::describeFrame(const Crash& crash, int index, CrashText& line) noexcept
{
    if (index < 0 || index >= crash.frameCount) {
        return;
    }
    void* const address = crash.frames[index];
    line.add("Stack frame: index=").addDecimal(static_cast<std::uint64_t>(index));
    line.add("; address=").addHex(reinterpret_cast<std::uintptr_t>(address));
    Dl_info found{};
    if (::dladdr(address, &found) == 0) {
        return;
    }
    if (found.dli_fname != nullptr && found.dli_fbase != nullptr) {
        // The offset in the object, as symbol tools such as addr2line take it.
        line.add("; object=").add(found.dli_fname);
        line.add("; offset=").addHex(reinterpret_cast<std::uintptr_t>(address) -
                                     reinterpret_cast<std::uintptr_t>(found.dli_fbase));
    }
    if (found.dli_sname != nullptr && found.dli_saddr != nullptr) {
        line.add("; symbol=").add(found.dli_sname).add('+');
        line.addHex(reinterpret_cast<std::uintptr_t>(address) - reinterpret_cast<std::uintptr_t>(found.dli_saddr));
    }
}

}  // namespace Tarvent::VirtualChannel
