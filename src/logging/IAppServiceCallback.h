#pragma once

#include <cstdint>
#include <string>

namespace Tarvent::VirtualChannel {

// Told by the LogArchive, on its worker thread with no archive lock held, that
// the archive for `requestId` is ready with `partCount` parts (0 after a failure).
class IAppServiceCallback {
public:
    virtual ~IAppServiceCallback() = default;
    virtual void onLogArchiveReady(std::uint64_t requestId, int partCount) = 0;
    // The packing for `requestId` failed with `reason`; instead of
    // onLogArchiveReady. By default reported as ready with no part.
    virtual void onLogArchiveFailed(std::uint64_t requestId, const std::string& reason)
    {
        static_cast<void>(reason);
        onLogArchiveReady(requestId, 0);
    }
};

}  // namespace Tarvent::VirtualChannel
