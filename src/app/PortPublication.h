#pragma once

namespace Tarvent::VirtualChannel {

// The listening port in the registry, where the channel driver looks for it:
// HKEY_LOCAL_MACHINE\<kKey>, string value <kValue>, the port in decimal.
// Any thread; one writer at a time.
class PortPublication {
public:
    static constexpr const char* kKey =
        "Software\\Citrix\\ICA Client\\Engine\\Configuration\\Advanced\\Modules\\VDOVRA";
    static constexpr const char* kValue = "Port";

    // Writes `port`. Throws std::runtime_error with RegistryKey's texts.
    static void publish(int port);

    // Removes the value while it still holds `port` (an engine started since
    // may have published its own), so that nobody is sent to a socket that
    // no engine serves. True when it was removed. Throws std::runtime_error
    // with RegistryKey's texts.
    static bool withdraw(int port);
};

}  // namespace Tarvent::VirtualChannel
