#include "sip/SipLogListener.h"

#include <utility>

#include "sip/SipMessageTap.h"

namespace Tarvent::VirtualChannel {

SipLogListener::SipLogListener(bool sipLogEnabled, std::shared_ptr<SipMessageTap> tap)
    : sipLogEnabled_(sipLogEnabled), tap_(std::move(tap))
{
}

void SipLogListener::onLogMessageWritten(const std::shared_ptr<linphone::LoggingService>& /*logService*/,
                                         const std::string& domain, linphone::LogLevel level,
                                         const std::string& message)
{
    if (tap_) {
        tap_->onLogRecord(domain, static_cast<unsigned>(level), message);
    }
    if (!sipLogEnabled_ && SipMessageTap::isTapRecord(domain, static_cast<unsigned>(level))) {
        return;
    }
    SipLogEntry entry;
    entry.level = static_cast<int>(level);
    entry.msg = domain.empty() ? message : domain + ": " + message;
    writer_.write(entry);
}

}  // namespace Tarvent::VirtualChannel
