#include "platform/linux/input/x11_keys.h"

#include <array>
#include <utility>

namespace platform::input::x11 {

namespace {

// X keycode (evdev + 8) -> the seam's key code.
constexpr std::pair<uint8_t, uint8_t> keyTable[] = {
    {9, 53},    // Escape
    {10, 18},   {11, 19},  {12, 20},  {13, 21},  {14, 23},  {15, 22},  {16, 26},  {17, 28},  {18, 25},
    {19, 29},   // 1..0
    {20, 27},   {21, 24},  {22, 51},  {23, 48},  // minus, equal, BackSpace, Tab
    {24, 12},   {25, 13},  {26, 14},  {27, 15},  {28, 17},  {29, 16},  {30, 32},  {31, 34},  {32, 31},
    {33, 35},   // q..p
    {34, 33},   {35, 30},  {36, 36},  {37, 59},  // bracketleft, bracketright, Return, Control_L
    {38, 0},    {39, 1},   {40, 2},   {41, 3},   {42, 5},   {43, 4},   {44, 38},  {45, 40},  {46, 37},  // a..l
    {47, 41},   {48, 39},  {49, 50},  {50, 56},  {51, 42},  // semicolon, apostrophe, grave, Shift_L, backslash
    {52, 6},    {53, 7},   {54, 8},   {55, 9},   {56, 11},  {57, 45},  {58, 46},  // z..m
    {59, 43},   {60, 47},  {61, 44},  {62, 60},  // comma, period, slash, Shift_R
    {64, 58},   {65, 49},  {66, 57},  // Alt_L, space, Caps_Lock
    {67, 122},  {68, 120}, {69, 99},  {70, 118}, {71, 96},  {72, 97},  {73, 98},  {74, 100}, {75, 101},
    {76, 109},  {95, 103}, {96, 111},  // F1..F12
    {105, 62},  {108, 61}, {110, 115}, {111, 126}, {112, 116}, {113, 123}, {114, 124}, {115, 119},
    {116, 125}, {117, 121}, {118, 114}, {119, 117}, {133, 55},  {134, 54},
};

constexpr std::array<int64_t, 256> buildKeyCodes() {
    std::array<int64_t, 256> codes{};
    for (size_t i = 0; i < codes.size(); ++i) codes[i] = 0x10000 + static_cast<int64_t>(i);
    for (auto [x, seam] : keyTable) codes[x] = seam;
    return codes;
}

constexpr std::array<int64_t, 256> keyCodes = buildKeyCodes();

}  // namespace

int64_t keyCodeFor(uint32_t xKeycode) {
    return xKeycode < keyCodes.size() ? keyCodes[xKeycode] : 0x10000 + static_cast<int64_t>(xKeycode);
}

bool isModifierKey(uint32_t xKeycode) {
    switch (xKeycode) {
        case 37: case 50: case 62: case 64: case 66: case 105: case 108: case 133: case 134: return true;
        default: return false;
    }
}

std::optional<EventType> buttonEventType(uint32_t button, bool down) {
    if (button >= 4 && button <= 7) {
        if (down) return eventType::scrollWheel;
        return std::nullopt;
    }
    if (button == 1) return down ? eventType::leftMouseDown : eventType::leftMouseUp;
    if (button == 3) return down ? eventType::rightMouseDown : eventType::rightMouseUp;
    return down ? eventType::otherMouseDown : eventType::otherMouseUp;
}

EventType motionEventType(uint32_t heldButtons) {
    if (heldButtons & (1u << 1)) return eventType::leftMouseDragged;
    if (heldButtons & (1u << 3)) return eventType::rightMouseDragged;
    // Scroll buttons are never held; any other button drags as "other".
    if (heldButtons & ~((1u << 4) | (1u << 5) | (1u << 6) | (1u << 7) | 1u)) return eventType::otherMouseDragged;
    return eventType::mouseMoved;
}

}  // namespace platform::input::x11
