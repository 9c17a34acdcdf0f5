#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace Tarvent::VirtualChannel::TestSupport {

class FuzzRandom;

// The object ids the engine has handed out lately (accounts, calls, players,
// recorders, devices), shared by every fuzzing thread so that commands name
// objects that exist as well as ones that don't. Any thread; the mutex
// guards the ring and is taken by nothing else.
class KnownIds {
public:
    static constexpr std::size_t kCapacity = 64;

    void add(std::int32_t id);
    // One of the ids seen, or nothing before the first.
    std::optional<std::int32_t> pick(FuzzRandom& random) const;
    std::size_t size() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::int32_t> ids_;
    std::size_t next_ = 0;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
