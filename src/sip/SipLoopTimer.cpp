#include "sip/SipLoopTimer.h"

#include <exception>
#include <utility>

#include <belle-sip/belle-sip.h>

#include "logging/Logger.h"

namespace Tarvent::VirtualChannel {

SipLoopTimer::SipLoopTimer(std::function<void()> function) : function_(std::move(function)) {}

SipLoopTimer::~SipLoopTimer()
{
    stop();
}

void SipLoopTimer::start(belle_sip_main_loop* loop, std::chrono::milliseconds after, bool repeat)
{
    stop();
    loop_ = loop;
    repeat_ = repeat;
    const auto ms = static_cast<unsigned int>(after.count() > 0 ? after.count() : 0);
    source_ = belle_sip_main_loop_create_timeout(loop_, &SipLoopTimer::fire, this, ms, "ovra timer");
}

void SipLoopTimer::stop()
{
    if (source_ == nullptr) {
        return;
    }
    // Also fine while the timer fires: the loop takes a removed source out once.
    belle_sip_main_loop_remove_source(loop_, source_);
    release();
}

void SipLoopTimer::release()
{
    belle_sip_object_unref(source_);
    source_ = nullptr;
}

int SipLoopTimer::fire(void* data, unsigned int /*events*/)
{
    auto& timer = *static_cast<SipLoopTimer*>(data);
    belle_sip_source_t* const source = timer.source_;
    if (!timer.repeat_) {
        timer.release();  // the loop drops its own share when this returns
    }
    try {
        timer.function_();
    } catch (const std::exception& error) {
        logError("Failed to run a SIP timer: what=\"%s\"", error.what());
    } catch (...) {
        logError("Failed to run a SIP timer: what=\"unknown\"");
    }
    // Stopped or restarted by the function: this source has had its turn.
    return timer.source_ != nullptr && timer.source_ == source ? BELLE_SIP_CONTINUE_WITHOUT_CATCHUP : BELLE_SIP_STOP;
}

}  // namespace Tarvent::VirtualChannel
