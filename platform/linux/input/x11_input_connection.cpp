#include "platform/linux/input/x11_input_connection.h"

#include <xcb/xinput.h>
#include <xcb/xtest.h>

#include <cstdlib>
#include <cstring>

#include "platform/linux/system/session.h"

namespace platform::input::x11 {

namespace {

// Replies are malloc'ed by XCB; this frees them on every path.
template <class T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <class T>
Reply<T> adopt(T* reply) {
    return Reply<T>(reply, &std::free);
}

Error inputError(int code, std::string description) {
    return Error{"x11.input", code, std::move(description), nullptr};
}

constexpr uint32_t grabbedEvents = XCB_INPUT_XI_EVENT_MASK_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_KEY_RELEASE |
                                   XCB_INPUT_XI_EVENT_MASK_BUTTON_PRESS | XCB_INPUT_XI_EVENT_MASK_BUTTON_RELEASE |
                                   XCB_INPUT_XI_EVENT_MASK_MOTION;

constexpr uint32_t wakeUpType = 0x7a6c6b21;  // marks our own wake-up client message

}  // namespace

Result<std::unique_ptr<InputConnection>> InputConnection::open() {
    // On a Wayland desktop DISPLAY, if set, is Xwayland: its grabs hold only Xwayland's
    // own devices while the desktop's windows go on getting every key and click. A tap
    // there would claim a block it cannot give, so there is none.
    if (system::waylandSession()) {
        return inputError(4, "la sesión es Wayland: el servidor X (Xwayland) no retiene la entrada del escritorio");
    }
    std::unique_ptr<InputConnection> self(new InputConnection());
    int screenNumber = 0;
    self->connection_ = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(self->connection_)) {
        return inputError(1, "no se puede abrir la pantalla X (DISPLAY)");
    }
    xcb_connection_t* c = self->connection_;

    // The same desktop without WAYLAND_DISPLAY in our environment (started from a
    // service, or by a host that cleared it): Xwayland says what it is.
    const char* xwayland = "XWAYLAND";
    auto xwaylandReply = adopt(xcb_query_extension_reply(
        c, xcb_query_extension(c, static_cast<uint16_t>(std::strlen(xwayland)), xwayland), nullptr));
    if (xwaylandReply && xwaylandReply->present) {
        return inputError(4, "el servidor X es Xwayland: no retiene la entrada del escritorio Wayland");
    }

    const xcb_query_extension_reply_t* xinput = xcb_get_extension_data(c, &xcb_input_id);
    if (!xinput || !xinput->present) return inputError(2, "el servidor X no ofrece XInput");
    self->inputOpcode_ = xinput->major_opcode;
    auto version = adopt(xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr));
    if (!version || version->major_version < 2 || (version->major_version == 2 && version->minor_version < 2)) {
        return inputError(2, "el servidor X no ofrece XInput 2.2");
    }
    const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(c, &xcb_test_id);
    if (!xtest || !xtest->present) return inputError(3, "el servidor X no ofrece XTEST");

    const char* atomName = "XTEST Device";
    auto atom = adopt(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 1, static_cast<uint16_t>(std::strlen(atomName)), atomName), nullptr));
    if (!atom || atom->atom == XCB_ATOM_NONE) return inputError(3, "el servidor X no tiene dispositivos XTEST");
    self->xtestAtom_ = atom->atom;

    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && screens.rem; ++i) xcb_screen_next(&screens);
    if (!screens.rem) return inputError(1, "la pantalla X no existe");
    self->root_ = screens.data->root;

    // An input-only window that nobody sees: client messages sent to it with an empty
    // event mask come back to this connection, which is how the reader is woken.
    self->wakeWindow_ = xcb_generate_id(c);
    xcb_create_window(c, 0, self->wakeWindow_, self->root_, -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_flush(c);
    if (xcb_connection_has_error(c)) return inputError(1, "la conexión con el servidor X se ha cortado");
    return self;
}

InputConnection::~InputConnection() {
    if (connection_) xcb_disconnect(connection_);
}

bool InputConnection::alive() {
    auto reply = adopt(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    return reply && !broken();
}

void InputConnection::selectRootEvents() {
    struct {
        xcb_input_event_mask_t head;
        uint32_t bits;
    } masks[2] = {
        {{XCB_INPUT_DEVICE_ALL_MASTER, 1},
         XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE |
             XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_RELEASE |
             XCB_INPUT_XI_EVENT_MASK_RAW_MOTION},
        {{XCB_INPUT_DEVICE_ALL, 1}, XCB_INPUT_XI_EVENT_MASK_HIERARCHY},
    };
    static_assert(sizeof masks == 2 * (sizeof(xcb_input_event_mask_t) + sizeof(uint32_t)));
    xcb_input_xi_select_events(connection_, root_, 2, &masks[0].head);
    xcb_flush(connection_);
}

std::optional<std::vector<SlaveDevice>> InputConnection::physicalSlaves() {
    std::vector<SlaveDevice> slaves;
    auto reply = adopt(xcb_input_xi_query_device_reply(
        connection_, xcb_input_xi_query_device(connection_, XCB_INPUT_DEVICE_ALL), nullptr));
    if (!reply) return std::nullopt;
    for (auto it = xcb_input_xi_query_device_infos_iterator(reply.get()); it.rem; xcb_input_xi_device_info_next(&it)) {
        const xcb_input_xi_device_info_t* info = it.data;
        bool slave = info->type == XCB_INPUT_DEVICE_TYPE_SLAVE_POINTER ||
                     info->type == XCB_INPUT_DEVICE_TYPE_SLAVE_KEYBOARD ||
                     info->type == XCB_INPUT_DEVICE_TYPE_FLOATING_SLAVE;
        if (!slave || !info->enabled) continue;
        slaves.push_back({info->deviceid, std::string(xcb_input_xi_device_info_name(info), info->name_len)});
    }
    std::erase_if(slaves, [this](const SlaveDevice& device) { return isXtestDevice(device.id); });
    return slaves;
}

bool InputConnection::isXtestDevice(uint16_t deviceId) {
    auto reply = adopt(xcb_input_xi_get_property_reply(
        connection_, xcb_input_xi_get_property(connection_, deviceId, 0, xtestAtom_, XCB_ATOM_ANY, 0, 1), nullptr));
    if (!reply || reply->type == XCB_ATOM_NONE || reply->num_items == 0) return false;
    const auto* value = static_cast<const uint8_t*>(xcb_input_xi_get_property_items(reply.get()));
    switch (reply->format) {
        case 8: return value[0] != 0;
        case 16: return *reinterpret_cast<const uint16_t*>(value) != 0;
        case 32: return *reinterpret_cast<const uint32_t*>(value) != 0;
        default: return false;
    }
}

std::vector<uint16_t> InputConnection::grab(const std::vector<uint16_t>& deviceIds) {
    // All requests first, then the replies: one round trip for every device together.
    std::vector<xcb_input_xi_grab_device_cookie_t> cookies;
    uint32_t mask = grabbedEvents;
    for (uint16_t id : deviceIds) {
        cookies.push_back(xcb_input_xi_grab_device(connection_, root_, XCB_CURRENT_TIME, XCB_NONE, id,
                                                   XCB_INPUT_GRAB_MODE_22_ASYNC, XCB_INPUT_GRAB_MODE_22_ASYNC,
                                                   XCB_INPUT_GRAB_OWNER_NO_OWNER, 1, &mask));
    }
    std::vector<uint16_t> grabbed;
    for (size_t i = 0; i < cookies.size(); ++i) {
        auto reply = adopt(xcb_input_xi_grab_device_reply(connection_, cookies[i], nullptr));
        if (reply && reply->status == XCB_GRAB_STATUS_SUCCESS) grabbed.push_back(deviceIds[i]);
    }
    return grabbed;
}

void InputConnection::ungrab(const std::vector<uint16_t>& deviceIds) {
    for (uint16_t id : deviceIds) xcb_input_xi_ungrab_device(connection_, XCB_CURRENT_TIME, id);
    xcb_flush(connection_);
}

KeyBits InputConnection::keysDown() {
    KeyBits keys{};
    auto reply = adopt(xcb_query_keymap_reply(connection_, xcb_query_keymap(connection_), nullptr));
    if (reply) std::memcpy(keys.data(), reply->keys, keys.size());
    return keys;
}

std::optional<PointerState> InputConnection::pointer() {
    auto reply = adopt(xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root_), nullptr));
    if (!reply) return std::nullopt;
    return PointerState{reply->root_x, reply->root_y, reply->mask};
}

void InputConnection::warpPointer(int16_t x, int16_t y) {
    xcb_warp_pointer(connection_, XCB_NONE, root_, 0, 0, 0, 0, x, y);
    xcb_flush(connection_);
}

void InputConnection::warpPointerIfAt(int16_t atX, int16_t atY, int16_t x, int16_t y) {
    xcb_warp_pointer(connection_, root_, root_, atX, atY, 1, 1, x, y);
    xcb_flush(connection_);
}

void InputConnection::releaseKeys(const std::vector<uint8_t>& keycodes) {
    for (uint8_t key : keycodes) xcb_test_fake_input(connection_, XCB_KEY_RELEASE, key, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(connection_);
}

void InputConnection::releaseButtons(const std::vector<uint8_t>& buttons) {
    for (uint8_t button : buttons) {
        xcb_test_fake_input(connection_, XCB_BUTTON_RELEASE, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    }
    xcb_flush(connection_);
}

void InputConnection::wakeReader() {
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = wakeWindow_;
    message.type = wakeUpType;
    xcb_send_event(connection_, 0, wakeWindow_, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&message));
    xcb_flush(connection_);
}

bool InputConnection::isWakeUp(const xcb_generic_event_t* event) const {
    if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE) return false;
    const auto* message = reinterpret_cast<const xcb_client_message_event_t*>(event);
    return message->window == wakeWindow_ && message->type == wakeUpType;
}

}  // namespace platform::input::x11
