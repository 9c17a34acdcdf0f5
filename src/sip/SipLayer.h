#pragma once

namespace linphone {
class Core;
}

// belle-sip's types, as its headers declare them.
struct belle_sip_provider;
struct belle_sip_stack;
struct structbelle_sip_listener_t;

namespace Tarvent::VirtualChannel {

// The SIP layer of a Core, which the library keeps to itself: its provider
// (the one the Core sends and receives through), that provider's stack and
// the library's own listener on it. Reached through two of the library's
// exported accessors without a public header, and pinned to Debian 12's
// library: the layer holds, one after the other, its stack, its provider,
// its User-Agent header and its listener, and both found objects are
// checked to be the stack's own.
// Core thread only (the Core's objects are).
struct SipLayer {
    belle_sip_provider* provider = nullptr;
    belle_sip_stack* stack = nullptr;
    structbelle_sip_listener_t* listener = nullptr;

    // All null when the layer is not found.
    static SipLayer of(linphone::Core& core);
};

}  // namespace Tarvent::VirtualChannel
