#pragma once

#include <memory>

#include <linphone++/linphone.hh>

#include "sip/SipCustomLogWriter.h"

namespace Tarvent::VirtualChannel {

class SipMessageTap;

// Feeds every message of the library's LoggingService to a SipCustomLogWriter,
// and to the message tap when there is one. The received-message records that
// only the tap asked for stay out of the engine log unless `sipLogEnabled`.
// The LoggingService calls it on whatever thread logs.
class SipLogListener : public linphone::LoggingServiceListener {
public:
    SipLogListener() = default;
    SipLogListener(bool sipLogEnabled, std::shared_ptr<SipMessageTap> tap);

    void onLogMessageWritten(const std::shared_ptr<linphone::LoggingService>& logService, const std::string& domain,
                             linphone::LogLevel level, const std::string& message) override;

private:
    const bool sipLogEnabled_ = true;
    const std::shared_ptr<SipMessageTap> tap_;
    SipCustomLogWriter writer_;
};

}  // namespace Tarvent::VirtualChannel
