#pragma once

#include <atomic>
#include <memory>

#include <linphone++/linphone.hh>

#include "sip/SipCustomLogWriter.h"

namespace Tarvent::VirtualChannel {

class SipMessageTap;

// Feeds every message of the library's LoggingService, while active, to a
// SipCustomLogWriter and to the message tap. The received-message records
// that only the tap asked for stay out of the engine log unless the SIP log
// is enabled. Listens for the whole life of the process (see
// SipLibraryObjects); the SIP stack activates it while it runs.
// Any thread: the LoggingService calls it on whatever thread logs.
class SipLogListener : public linphone::LoggingServiceListener {
public:
    // `tap` may be null (no tap).
    void activate(bool sipLogEnabled, std::shared_ptr<SipMessageTap> tap);
    void deactivate();

    void onLogMessageWritten(const std::shared_ptr<linphone::LoggingService>& logService, const std::string& domain,
                             linphone::LogLevel level, const std::string& message) override;

private:
    std::atomic<bool> active_{false};
    std::atomic<bool> sipLogEnabled_{false};
    std::shared_ptr<SipMessageTap> tap_;  // read and written with the atomic shared_ptr functions only
    SipCustomLogWriter writer_;
};

}  // namespace Tarvent::VirtualChannel
