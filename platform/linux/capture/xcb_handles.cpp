#include "platform/linux/capture/xcb_handles.h"

#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <cstdlib>

namespace platform::x11 {

Error makeError(ErrorCode code, std::string description) {
    return Error{kErrorDomain, code, std::move(description), nullptr};
}

std::string connectionErrorText(int connectionError) {
    switch (connectionError) {
        case 0: return "sin error";
        case XCB_CONN_ERROR: return "error de E/S en la conexión";
        case XCB_CONN_CLOSED_EXT_NOTSUPPORTED: return "extensión no admitida";
        case XCB_CONN_CLOSED_MEM_INSUFFICIENT: return "memoria insuficiente";
        case XCB_CONN_CLOSED_REQ_LEN_EXCEED: return "petición demasiado larga";
        case XCB_CONN_CLOSED_PARSE_ERR: return "no se pudo interpretar DISPLAY";
        case XCB_CONN_CLOSED_INVALID_SCREEN: return "la pantalla pedida no existe en el servidor";
        default: return "error de conexión " + std::to_string(connectionError);
    }
}

std::string protocolErrorText(uint8_t errorCode) {
    // Core protocol error codes; extension errors fall to the number.
    static const char* const names[] = {
        "", "Request", "Value", "Window", "Pixmap", "Atom", "Cursor", "Font", "Match",
        "Drawable", "Access", "Alloc", "Colormap", "GContext", "IDChoice", "Name", "Length",
        "Implementation"};
    if (errorCode >= 1 && errorCode < std::size(names))
        return std::string("error X ") + names[errorCode] + " (" + std::to_string(errorCode) + ")";
    return "error X " + std::to_string(errorCode);
}

Result<Connection> connect(const char* displayName) {
    const char* shown = displayName ? displayName : std::getenv("DISPLAY");
    int screenNumber = 0;
    ConnectionPtr handle(xcb_connect(displayName, &screenNumber));
    if (int error = xcb_connection_has_error(handle.get())) {
        return makeError(kCannotOpenDisplay, std::string("No se pudo abrir la pantalla X11 (DISPLAY=") +
                                                 (shown ? shown : "") + "): " + connectionErrorText(error));
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(handle.get()));
    for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
    if (!it.rem) {
        return makeError(kCannotOpenDisplay, std::string("No se pudo abrir la pantalla X11 (DISPLAY=") +
                                                 (shown ? shown : "") + "): " +
                                                 connectionErrorText(XCB_CONN_CLOSED_INVALID_SCREEN));
    }
    return Connection{std::move(handle), it.data};
}

std::optional<Error> initializeCaptureExtensions(xcb_connection_t* c) {
    struct Needed {
        xcb_extension_t* id;
        const char* name;
    };
    for (Needed extension : {Needed{&xcb_shm_id, "MIT-SHM"}, Needed{&xcb_damage_id, "DAMAGE"},
                             Needed{&xcb_xfixes_id, "XFIXES"}, Needed{&xcb_randr_id, "RANDR"}}) {
        const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, extension.id);
        if (!data || !data->present)
            return makeError(kMissingExtension,
                             std::string("El servidor X no ofrece la extensión ") + extension.name);
    }
    // XFIXES and DAMAGE refuse every request until the client says which version it
    // speaks; DAMAGE needs XFIXES announced first.
    Reply<xcb_xfixes_query_version_reply_t> fixes(
        xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
    Reply<xcb_damage_query_version_reply_t> damage(
        xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
    Reply<xcb_randr_query_version_reply_t> randr(
        xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
    if (!fixes || !damage || !randr)
        return makeError(kMissingExtension, "El servidor X rechazó las versiones de XFIXES, DAMAGE o RANDR");
    return std::nullopt;
}

}  // namespace platform::x11
