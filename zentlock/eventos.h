#pragma once
// What the blocker asks of the event tap: the marker of injected input, the event types
// it filters, and the two classes of event it treats apart.

#include <array>
#include <cstdint>

#include "platform/event_tap.h"

namespace zentlock {

using platform::input::EventType;

// The host stamps this number ("ZeTr" read as a big-endian 32-bit number) into the
// source user-data field of every event it injects.
inline constexpr int64_t MARCA = 0x5a655472;
static_assert(MARCA == platform::input::injectedInputUserData);

// A block ends when the host has sent no heartbeat for this long.
inline constexpr double sinLatidoMs = 10000;
// Escape presses that end a block must all fall within this window from the first.
inline constexpr double escapeMs = 2000;
inline constexpr int escapesParaSoltar = 3;

// Keyboard, mouse, scroll and tablet events, in the order the tap is asked for them.
inline constexpr std::array<EventType, 16> tipos = {10, 11, 12, 1, 2, 3, 4, 5, 6, 7, 22, 25, 26, 27, 23, 24};

// One bit per type below 64, plus the system-defined events (type 14), which a tap
// must see to keep special keys (brightness, volume, media) from acting while blocking.
template <size_t N>
constexpr uint64_t mascaraDe(const std::array<EventType, N>& lista) {
    uint64_t bits = uint64_t{1} << platform::input::eventType::systemDefined;
    for (EventType tipo : lista) {
        if (tipo < 64) bits |= uint64_t{1} << tipo;
    }
    return bits;
}

inline constexpr uint64_t mascara = mascaraDe(tipos);
static_assert(mascara == 0x0FC05CFE);
static_assert(mascaraDe(std::array<EventType, 0>{}) == 0x4000);

// Pointer moves, with or without a button held.
constexpr bool mueve(EventType tipo) {
    namespace t = platform::input::eventType;
    return tipo == t::mouseMoved || tipo == t::leftMouseDragged || tipo == t::rightMouseDragged ||
           tipo == t::otherMouseDragged;
}

// Button presses; releases are not included.
constexpr bool pulsa(EventType tipo) {
    namespace t = platform::input::eventType;
    return tipo == t::leftMouseDown || tipo == t::rightMouseDown || tipo == t::otherMouseDown;
}

}  // namespace zentlock
