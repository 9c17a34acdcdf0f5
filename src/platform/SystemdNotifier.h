#pragma once

namespace Tarvent::VirtualChannel {

// Sends state messages ("READY=1", "STOPPING=1", ...) to the service manager
// over the socket named by NOTIFY_SOCKET. Without that variable (not started
// by systemd, or not as Type=notify) every call is a no-op. Any thread.
class SystemdNotifier {
public:
    // Returns 0 when sent or when there is nobody to tell, else the errno.
    int notify(const char* message) const;
};

}  // namespace Tarvent::VirtualChannel
