#pragma once

#include <functional>
#include <memory>
#include <string>

#include <linphone++/linphone.hh>

namespace Tarvent::VirtualChannel {

// Runs a function when a Core shuts down, on the core thread, before the
// Core's SIP stack and main loop go: the moment to let go of what was made
// on them. Added to the Core as one of its listeners.
class SipShutdownHook : public linphone::CoreListener {
public:
    // `onShutdown` must not throw.
    explicit SipShutdownHook(std::function<void()> onShutdown) : onShutdown_(std::move(onShutdown)) {}

    void onGlobalStateChanged(const std::shared_ptr<linphone::Core>& /*core*/, linphone::GlobalState state,
                              const std::string& /*message*/) override
    {
        if (state == linphone::GlobalState::Shutdown) {
            onShutdown_();
        }
    }

private:
    const std::function<void()> onShutdown_;
};

}  // namespace Tarvent::VirtualChannel
