#pragma once
// The X connection of the event tap, with the requests the tap makes: devices, their
// grabs, key and button state, the pointer, and XTEST input. XCB is thread-safe, so
// requests may come from the main queue while the tap's reader thread waits for events;
// a broken connection makes every request fail quietly (null replies), never exits.

#include <xcb/xcb.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"

namespace platform::input::x11 {

struct SlaveDevice {
    uint16_t id;
    std::string name;
};

struct PointerState {
    int16_t x, y;
    uint16_t buttonMask;  // core button state bits (Button1Mask = 1 << 8 ...)
};

using KeyBits = std::array<uint8_t, 32>;  // one bit per X keycode

class InputConnection {
public:
    // Connects to $DISPLAY and checks for XInput 2.2 and XTEST. The error's
    // description says in Spanish what is missing.
    static Result<std::unique_ptr<InputConnection>> open();
    ~InputConnection();
    InputConnection(const InputConnection&) = delete;
    InputConnection& operator=(const InputConnection&) = delete;

    xcb_connection_t* raw() const { return connection_; }
    xcb_window_t root() const { return root_; }
    uint8_t inputOpcode() const { return inputOpcode_; }
    bool broken() const { return xcb_connection_has_error(connection_) != 0; }
    // Asks the server for something small: false when no answer can come.
    bool alive();

    // Raw input of every master on the root window (so the injected input is seen
    // whatever holds a grab) and device hierarchy changes.
    void selectRootEvents();

    // Enabled slave devices, floating ones included, other than XTEST devices; none
    // when the server gave no answer (which says nothing about the devices).
    std::optional<std::vector<SlaveDevice>> physicalSlaves();
    // True when the device carries the "XTEST Device" property.
    bool isXtestDevice(uint16_t deviceId);

    // Grabs each device so its key, button and motion events come only to this client.
    // Returns the IDs that were grabbed. Grabbing a device this client already holds
    // succeeds again.
    std::vector<uint16_t> grab(const std::vector<uint16_t>& deviceIds);
    // Ends this client's grabs of these devices, disabled ones included; a device this
    // client does not hold is left alone.
    void ungrab(const std::vector<uint16_t>& deviceIds);

    KeyBits keysDown();
    std::optional<PointerState> pointer();
    void warpPointer(int16_t x, int16_t y);
    // Warps only if the pointer is at (atX, atY) when the server gets to the request.
    void warpPointerIfAt(int16_t atX, int16_t atY, int16_t x, int16_t y);
    // Releases keys and buttons through XTEST, as the injecting host would.
    void releaseKeys(const std::vector<uint8_t>& keycodes);
    void releaseButtons(const std::vector<uint8_t>& buttons);

    // Makes a thread blocked in xcb_wait_for_event return with a wake-up event.
    void wakeReader();
    bool isWakeUp(const xcb_generic_event_t* event) const;

private:
    InputConnection() = default;

    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = 0;
    xcb_window_t wakeWindow_ = 0;
    uint8_t inputOpcode_ = 0;
    xcb_atom_t xtestAtom_ = XCB_ATOM_NONE;
};

}  // namespace platform::input::x11
