#include "sip/SipLayer.h"

#include <cstddef>

#include <belle-sip/belle-sip.h>
#include <linphone++/linphone.hh>
#include <linphone/core.h>

// The two accessors of the library (exported, without a public header).
extern "C" void* linphone_core_get_sal(const LinphoneCore* core);
extern "C" void* sal_get_stack_impl(void* sal);

namespace Tarvent::VirtualChannel {

namespace {

constexpr std::size_t kSearchedWords = 64;
constexpr std::size_t kProviderAfterStack = 1;
constexpr std::size_t kListenerAfterStack = 3;

}  // namespace

SipLayer SipLayer::of(linphone::Core& core)
{
    void* const sal = linphone_core_get_sal(core.cPtr());
    auto* const stack = static_cast<belle_sip_stack_t*>(sal == nullptr ? nullptr : sal_get_stack_impl(sal));
    if (stack == nullptr) {
        return {};
    }
    void* const* const words = static_cast<void* const*>(sal);
    for (std::size_t i = 0; i + kListenerAfterStack < kSearchedWords; ++i) {
        if (words[i] != stack) {
            continue;
        }
        auto* const provider = static_cast<belle_sip_provider_t*>(words[i + kProviderAfterStack]);
        auto* const listener = static_cast<belle_sip_listener_t*>(words[i + kListenerAfterStack]);
        if (provider == nullptr || listener == nullptr ||
            !BELLE_SIP_OBJECT_IS_INSTANCE_OF(provider, belle_sip_provider_t) ||
            belle_sip_provider_get_sip_stack(provider) != stack ||
            !belle_sip_object_implements(BELLE_SIP_OBJECT(listener), belle_sip_listener_t_id)) {
            return {};
        }
        return SipLayer{provider, stack, listener};
    }
    return {};
}

}  // namespace Tarvent::VirtualChannel
