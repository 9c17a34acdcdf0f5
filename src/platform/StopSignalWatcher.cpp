#include "platform/StopSignalWatcher.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace Tarvent::VirtualChannel {

namespace {

sigset_t stopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

}  // namespace

int StopSignalWatcher::blockStopSignals()
{
    const sigset_t set = stopSignals();
    return ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopSignalWatcher::~StopSignalWatcher()
{
    stop();
}

int StopSignalWatcher::start(Callback callback)
{
    if (thread_.joinable()) {
        return EBUSY;
    }
    const sigset_t set = stopSignals();
    if (const int error = ::pthread_sigmask(SIG_BLOCK, &set, &previousMask_); error != 0) {
        return error;
    }
    masked_ = true;
    signalFd_ = UniqueFd(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    int error = signalFd_.valid() ? 0 : errno;
    if (error == 0) {
        wakeFd_ = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        error = wakeFd_.valid() ? 0 : errno;
    }
    if (error == 0) {
        callback_ = std::move(callback);
        try {
            thread_ = std::thread(&StopSignalWatcher::watch, this);
        } catch (const std::system_error& e) {
            error = e.code().value();
        }
    }
    if (error != 0) {
        stop();
    }
    return error;
}

void StopSignalWatcher::stop()
{
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        // An eventfd write of 1 only fails on counter overflow, which one
        // wake-up per start cannot reach.
        [[maybe_unused]] const ssize_t written = ::write(wakeFd_.get(), &one, sizeof one);
        thread_.join();
    }
    signalFd_.reset();
    wakeFd_.reset();
    callback_ = nullptr;
    if (masked_) {
        // A stop signal that came after the watcher ended must not take the
        // default action (ending the process) once the mask is lifted.
        const sigset_t set = stopSignals();
        const timespec noWait {};
        while (::sigtimedwait(&set, nullptr, &noWait) > 0) {
        }
        ::pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
        masked_ = false;
    }
}

void StopSignalWatcher::watch()
{
    for (;;) {
        pollfd fds[2] = {{signalFd_.get(), POLLIN, 0}, {wakeFd_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            // Only a lack of kernel memory gets here; signals then keep
            // waiting, blocked, and the process is stopped by SIGKILL.
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        signalfd_siginfo info {};
        while (::read(signalFd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            callback_(static_cast<int>(info.ssi_signo));
        }
    }
}

}  // namespace Tarvent::VirtualChannel
