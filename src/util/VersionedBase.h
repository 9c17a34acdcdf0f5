#pragma once

#include <atomic>

#include "util/IVersioned.h"

namespace Tarvent::VirtualChannel {

// Holds the protocol version; until it is first set every version check
// passes isAtLeast (the value is the highest a version can be).
// Any thread: the version is one atomic value.
class VersionedBase : public IVersioned {
public:
    static constexpr int kUnsetVersion = 0x7FFFFFFF;

    bool isAtLeast(int version) const override { return version_.load() >= version; }
    bool isAtMost(int version) const override { return version_.load() <= version; }
    void setVersion(int version) override { version_.exchange(version); }

private:
    std::atomic<int> version_{kUnsetVersion};
};

}  // namespace Tarvent::VirtualChannel
