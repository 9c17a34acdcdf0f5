#include "service/SipStackFacade.h"

#include <stdexcept>

#include "sip/SipStack.h"

namespace Tarvent::VirtualChannel {

namespace {

// The stack logs the request and its own refusal and leaves a stopped stack
// alone; the caller hears of the refusal as an error.
void refuseUnlessStarted(const char* refusal)
{
    if (!SipStack::getInstance().isStarted()) {
        throw std::runtime_error(refusal);
    }
}

}  // namespace

bool SipStackFacade::isStarted()
{
    return SipStack::getInstance().isStarted();
}

void SipStackFacade::start(bool useNoVad, const char* userAgent, bool g729Enabled, bool sipLogEnabled)
{
    SipStack::getInstance().start(useNoVad, userAgent, g729Enabled, sipLogEnabled);
}

void SipStackFacade::stop()
{
    SipStack::getInstance().stop();
}

bool SipStackFacade::setCodecPriority(const char* codecName, int priority)
{
    return SipStack::getInstance().setCodecPriority(codecName, priority);
}

void SipStackFacade::setPlaybackLevel(float level)
{
    SipStack::getInstance().setPlaybackLevel(level);
    refuseUnlessStarted(kPlaybackLevelRefusal);
}

void SipStackFacade::setCaptureLevel(float level)
{
    SipStack::getInstance().setCaptureLevel(level);
    refuseUnlessStarted(kCaptureLevelRefusal);
}

void SipStackFacade::muteMicrophone(bool mute)
{
    SipStack::getInstance().muteMicrophone(mute);
    refuseUnlessStarted(kMuteRefusal);
}

void SipStackFacade::requireStarted()
{
    if (!SipStack::getInstance().isStarted()) {
        throw std::runtime_error(kNotRunningText);
    }
}

}  // namespace Tarvent::VirtualChannel
