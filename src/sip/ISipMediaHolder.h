#pragma once

namespace Tarvent::VirtualChannel {

// Something that holds linphone media objects (local players, a call it
// records) of the running Core. Such objects must go before the Core does,
// and only on the core thread: the device manager tells every registered
// holder when the Core shuts down.
class ISipMediaHolder {
public:
    virtual ~ISipMediaHolder() = default;
    // Core thread, while the Core shuts down; no lock of the manager is held.
    // Must drop every linphone object it holds and must not throw.
    virtual void releaseMedia() = 0;
};

}  // namespace Tarvent::VirtualChannel
