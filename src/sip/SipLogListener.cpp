#include "sip/SipLogListener.h"

#include <utility>

#include "sip/SipMessageTap.h"

namespace Tarvent::VirtualChannel {

void SipLogListener::activate(bool sipLogEnabled, std::shared_ptr<SipMessageTap> tap)
{
    std::atomic_store(&tap_, std::move(tap));
    sipLogEnabled_.store(sipLogEnabled);
    active_.store(true);
}

void SipLogListener::deactivate()
{
    active_.store(false);
    std::atomic_store(&tap_, std::shared_ptr<SipMessageTap>());
}

void SipLogListener::onLogMessageWritten(const std::shared_ptr<linphone::LoggingService>& /*logService*/,
                                         const std::string& domain, linphone::LogLevel level,
                                         const std::string& message)
{
    if (!active_.load()) {
        return;
    }
    // Raised inside the library's logging, on any of its threads: nothing
    // may leave. A line that can't be passed on is dropped.
    try {
        if (const std::shared_ptr<SipMessageTap> tap = std::atomic_load(&tap_)) {
            tap->onLogRecord(domain, static_cast<unsigned>(level), message);
        }
        if (!sipLogEnabled_.load() && SipMessageTap::isTapRecord(domain, static_cast<unsigned>(level))) {
            return;
        }
        SipLogEntry entry;
        entry.level = static_cast<int>(level);
        entry.msg = domain.empty() ? message : domain + ": " + message;
        writer_.write(entry);
    } catch (...) {
    }
}

}  // namespace Tarvent::VirtualChannel
