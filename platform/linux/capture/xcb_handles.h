#pragma once
// Owning wrappers for XCB handles and replies, the connection to the X server, and
// the one place where XCB error codes become text.

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "platform/error.h"

namespace platform::x11 {

// Error domain of every platform error this backend reports about X11.
inline constexpr const char* kErrorDomain = "X11";

// Codes of the errors in that domain.
enum ErrorCode : int {
    kCannotOpenDisplay = 1,      // no X server at DISPLAY
    kMissingExtension = 2,       // the server lacks SHM, DAMAGE, XFIXES or RANDR
    kDisplayNotFound = 3,        // the requested display ID is not a monitor of the screen
    kConnectionLost = 4,         // the connection broke while capturing
    kRequestFailed = 5,          // the server refused a request
    kOutOfMemory = 6,            // a buffer could not be allocated
    kDisplayGone = 7,            // the captured monitor went away while capturing
};

struct ConnectionDeleter {
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};
using ConnectionPtr = std::unique_ptr<xcb_connection_t, ConnectionDeleter>;

// XCB replies and events are malloc'ed; this owns one.
struct FreeDeleter {
    void operator()(void* pointer) const { std::free(pointer); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// An open connection with the screen it uses.
struct Connection {
    ConnectionPtr handle;
    xcb_screen_t* screen = nullptr;  // owned by the connection's setup data

    xcb_connection_t* get() const { return handle.get(); }
    xcb_window_t root() const { return screen->root; }
};

// Opens DISPLAY (or `displayName` when given). The error says in Spanish what failed.
Result<Connection> connect(const char* displayName = nullptr);

// Checks that the server offers what screen capture needs (MIT-SHM, DAMAGE, XFIXES,
// RANDR) and announces the versions this backend speaks; an error names the first
// extension missing.
std::optional<Error> initializeCaptureExtensions(xcb_connection_t* connection);

// Text for the state of a connection (xcb_connection_has_error) and for an X protocol
// error code (xcb_generic_error_t::error_code).
std::string connectionErrorText(int connectionError);
std::string protocolErrorText(uint8_t errorCode);

// A platform error in the X11 domain.
Error makeError(ErrorCode code, std::string description);

}  // namespace platform::x11
