#pragma once

#include <memory>

namespace linphone {
class Factory;
class LoggingService;
}  // namespace linphone

namespace Tarvent::VirtualChannel {

class SipLogListener;

// The library's process-wide objects (its factory and its logging service)
// as the C++ API hands them out, kept for the life of the process, with the
// engine's one log listener.
//
// Why: the C++ API finds the C++ object of a library object through a
// back-pointer in the library object, and makes a fresh one when there is
// none, which goes again with its last reference. Factory::get(),
// LoggingService::get() and every log line the library writes (on any of
// its threads) do that look-up. Made and dropped that way on two threads at
// once, one thread finds the object that another is destroying: the API
// throws std::bad_weak_ptr inside the library's callback, where nothing can
// catch it and the process ends, or both threads write the library object's
// data at once. With one C++ object always alive the look-up only counts a
// reference, which any thread may do.
//
// Likewise the listener is added once and never removed: every log line
// copies the list of listeners, on the thread that logs, without a lock.
//
// Any thread. Made by the first use (the SIP stack makes it before anything
// of the library runs); destroyed at process exit.
class SipLibraryObjects {
public:
    static SipLibraryObjects& instance();

    SipLibraryObjects(const SipLibraryObjects&) = delete;
    SipLibraryObjects& operator=(const SipLibraryObjects&) = delete;

    linphone::Factory& factory() const { return *factory_; }
    linphone::LoggingService& loggingService() const { return *loggingService_; }
    SipLogListener& logListener() const { return *logListener_; }

private:
    SipLibraryObjects();
    ~SipLibraryObjects();

    const std::shared_ptr<linphone::Factory> factory_;
    const std::shared_ptr<linphone::LoggingService> loggingService_;
    const std::shared_ptr<SipLogListener> logListener_;
};

}  // namespace Tarvent::VirtualChannel
