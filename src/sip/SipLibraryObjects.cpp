#include "sip/SipLibraryObjects.h"

#include <linphone++/linphone.hh>

#include "sip/SipLogListener.h"

namespace Tarvent::VirtualChannel {

SipLibraryObjects& SipLibraryObjects::instance()
{
    static SipLibraryObjects objects;
    return objects;
}

SipLibraryObjects::SipLibraryObjects()
    : factory_(linphone::Factory::get()),
      loggingService_(linphone::LoggingService::get()),
      logListener_(std::make_shared<SipLogListener>())
{
    loggingService_->addListener(logListener_);
}

SipLibraryObjects::~SipLibraryObjects()
{
    // Still listed (see the class comment): it only stops passing lines on,
    // since the Logger may be gone before the library's last threads.
    logListener_->deactivate();
}

}  // namespace Tarvent::VirtualChannel
