#pragma once

namespace Tarvent::VirtualChannel {

// Something that holds linphone media objects (local players, a call it
// records) of the running Core. Such objects must go before the Core does,
// and only on the core thread: the device manager tells every registered
// holder when the Core shuts down.
class ISipMediaHolder {
public:
    virtual ~ISipMediaHolder() = default;
    // Core thread, while the Core shuts down; of the manager's locks only its
    // shutdown hook's is held (the holder may call the manager).
    // Must drop every linphone object it holds and must not throw.
    virtual void releaseMedia() = 0;
};

}  // namespace Tarvent::VirtualChannel
