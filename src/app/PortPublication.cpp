#include "app/PortPublication.h"

#include <string>

#include "app/RegistryKey.h"

namespace Tarvent::VirtualChannel {

void PortPublication::publish(int port)
{
    const RegistryKey key = RegistryKey::create(RegistryRoot::LocalMachine, kKey);
    key.setString(kValue, std::to_string(port).c_str());
}

bool PortPublication::withdraw(int port)
{
    const RegistryKey key = RegistryKey::create(RegistryRoot::LocalMachine, kKey);
    std::string value;
    if (!key.getString(kValue, value) || value != std::to_string(port)) {
        return false;
    }
    return key.deleteValue(kValue);
}

}  // namespace Tarvent::VirtualChannel
