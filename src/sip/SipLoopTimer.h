#pragma once

#include <chrono>
#include <functional>

struct belle_sip_main_loop;
struct belle_sip_source;

namespace Tarvent::VirtualChannel {

// A timer of the SIP stack's main loop, which the core thread runs: its
// function runs on the core thread, between the stack's own work.
// Core thread only; the destructor too unless the timer is not running.
// The function may stop or restart this timer, but must not destroy it.
class SipLoopTimer {
public:
    explicit SipLoopTimer(std::function<void()> function);
    ~SipLoopTimer();

    SipLoopTimer(const SipLoopTimer&) = delete;
    SipLoopTimer& operator=(const SipLoopTimer&) = delete;

    // (Re)starts it: the function runs `after` from now, and then every
    // `after` when `repeat`. `loop` must outlive the timer's run (stop it
    // before the loop goes).
    void start(belle_sip_main_loop* loop, std::chrono::milliseconds after, bool repeat);
    void stop();
    bool running() const { return source_ != nullptr; }

private:
    static int fire(void* data, unsigned int events);
    void release();

    const std::function<void()> function_;
    belle_sip_main_loop* loop_ = nullptr;
    belle_sip_source* source_ = nullptr;  // ours (one reference); null when not running
    bool repeat_ = false;
};

}  // namespace Tarvent::VirtualChannel
