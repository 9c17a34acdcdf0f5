#pragma once

#include <cstdint>

namespace Tarvent::VirtualChannel {

// Told by the LogArchive, on its worker thread with no archive lock held, that
// the archive for `requestId` is ready with `partCount` parts (0 after a failure).
class IAppServiceCallback {
public:
    virtual ~IAppServiceCallback() = default;
    virtual void onLogArchiveReady(std::uint64_t requestId, int partCount) = 0;
};

}  // namespace Tarvent::VirtualChannel
