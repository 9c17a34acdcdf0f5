#include "app/KnownIds.h"

#include <algorithm>

#include "app/FuzzRandom.h"

namespace Tarvent::VirtualChannel::TestSupport {

void KnownIds::add(std::int32_t id)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(ids_.begin(), ids_.end(), id) != ids_.end()) {
        return;
    }
    // The newest replace the oldest: the engine's ids only grow, and old
    // objects are mostly gone.
    if (ids_.size() < kCapacity) {
        ids_.push_back(id);
    } else {
        ids_[next_] = id;
        next_ = (next_ + 1) % kCapacity;
    }
}

std::optional<std::int32_t> KnownIds::pick(FuzzRandom& random) const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (ids_.empty()) {
        return std::nullopt;
    }
    return ids_[static_cast<std::size_t>(random.below(ids_.size()))];
}

std::size_t KnownIds::size() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return ids_.size();
}

}  // namespace Tarvent::VirtualChannel::TestSupport
