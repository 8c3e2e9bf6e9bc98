#pragma once
// X input codes as the seam's: key codes and event types.

#include <cstdint>
#include <optional>

#include "platform/event_tap.h"

namespace platform::input::x11 {

// The seam's key code of an X keycode (evdev layout, as every current X server uses).
// Keys without a counterpart get 0x10000 + the X keycode, which matches no key the
// programs know.
int64_t keyCodeFor(uint32_t xKeycode);

// Modifier keys are reported as modifier changes rather than key presses.
bool isModifierKey(uint32_t xKeycode);

// The event type of a button going down or up; none for the release of a scroll
// button (a scroll is one event).
std::optional<EventType> buttonEventType(uint32_t button, bool down);

// The move type for a pointer motion with these core buttons held (bit n = button n).
EventType motionEventType(uint32_t heldButtons);

}  // namespace platform::input::x11
