#pragma once
// The conversation with the desktop's ScreenCast portal (xdg-desktop-portal) over the
// session bus, through GDBus: CreateSession, SelectSources, Start and
// OpenPipeWireRemote, each a request whose answer comes as a Response signal. The
// result is a PipeWire connection (an fd) and the node of the shared screen.
//
// One object owns one portal session from the first call to its close. Every step is
// bounded in time and every failure is reported in Spanish; nothing here waits for
// ever, even on a portal that never answers.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/error.h"

namespace platform::wayland {

// Error domain and codes of the Wayland capture.
inline constexpr const char* kErrorDomain = "Wayland";
enum ErrorCode : int {
    kNoSessionBus = 1,      // no session bus to talk to the portal
    kNoPortal = 2,          // the bus has no ScreenCast portal
    kPortalFailed = 3,      // a portal call or request failed
    kCancelled = 4,         // the user cancelled the desktop's dialog
    kPortalTimeout = 5,     // the portal did not answer in time
    kStreamFailed = 6,      // the PipeWire stream failed or ended
    kSessionClosed = 7,     // the desktop ended the screen sharing
    kDisplayNotFound = 8,   // no such output
};

Error makeError(ErrorCode code, std::string description);

// How the pointer reaches the consumer (the portal's cursor_mode values).
enum class CursorMode : uint32_t { hidden = 1, embedded = 2, metadata = 4 };

// What Start and OpenPipeWireRemote gave.
struct PortalStream {
    int pipewireFd = -1;   // owned by the receiver
    uint32_t nodeID = 0;
    int width = 0, height = 0;  // the source's size, when the portal tells it (else 0)
    CursorMode cursorMode = CursorMode::hidden;
};

class ScreenCastPortal {
public:
    // Whether a ScreenCast portal answers on the session bus. Opens no session and no
    // dialog; a few seconds at most.
    static bool available();

    // Runs the whole flow on the calling thread: creates the session, selects one
    // monitor with the cursor mode closest to `wanted` among those offered (embedded
    // when wanted, else metadata where offered, else hidden), asks the desktop to keep
    // the choice (persist mode 2) with the token stored for `displayID`, starts (this is
    // where the desktop may show its dialog), stores the new token, and opens the
    // PipeWire remote. `closed` runs once, on a thread of the portal object, when the
    // desktop closes the session afterwards (the user pressed "stop sharing").
    static Result<std::unique_ptr<ScreenCastPortal>> open(uint32_t displayID, CursorMode wanted,
                                                         std::function<void(const Error&)> closed);
    // Closes the session (the desktop stops sharing) and ends the portal's thread.
    ~ScreenCastPortal();
    ScreenCastPortal(const ScreenCastPortal&) = delete;
    ScreenCastPortal& operator=(const ScreenCastPortal&) = delete;

    // The stream; its fd is handed over once (-1 afterwards).
    PortalStream takeStream();

    struct State;

private:
    explicit ScreenCastPortal(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace platform::wayland
