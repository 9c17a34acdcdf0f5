#pragma once

namespace Tarvent::VirtualChannel {

// The value to store in a float field of an outgoing message.
//
// The protobuf runtime leaves a float field off the wire only when its bit
// pattern is +0.0, so -0.0 (e.g. a level or MOS computed as -x * 0) would go
// out as five bytes where the peer expects nothing. Every float the engine
// fills goes through here so that any zero is written as the default.
// Any thread; no state.
constexpr float wireFloat(float value) noexcept
{
    return value == 0.0f ? 0.0f : value;
}

} // namespace Tarvent::VirtualChannel
