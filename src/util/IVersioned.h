#pragma once

namespace Tarvent::VirtualChannel {

// Something that follows the protocol version agreed with the client.
class IVersioned {
public:
    virtual ~IVersioned() = default;
    virtual bool isAtLeast(int version) const = 0;
    virtual bool isAtMost(int version) const = 0;
    virtual void setVersion(int version) = 0;
};

}  // namespace Tarvent::VirtualChannel
