#pragma once
// Answers the GNOME desktop's "Screen Share" dialog the way a user would: with the
// pointer. mutter's own RemoteDesktop D-Bus API gives the test a virtual pointer that
// moves to absolute positions of a monitor (a remote desktop session linked to a
// screen cast of that monitor), and the same screen cast, which needs no consent,
// shows when the dialog is there and what state its buttons are in.
//
// The dialog is centred on the monitor, 520 x 300 pixels; where its controls lie
// was measured on pictures of it (mutter 43, portal-gnome 43, their default theme).

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/bus_connection.h"
#include "tests/support/gnome_desktop.h"
#include "tests/support/screen_pictures.h"

namespace testsupport {

enum class Consent { share, cancel };

// A place on the dialog, relative to its centre, in pixels.
struct DialogOffset {
    int dx, dy;
};

class ConsentAnswerer {
public:
    // Opens the remote desktop session on the desktop's monitor. Null, with the reason
    // on standard error, when mutter refuses it.
    static std::unique_ptr<ConsentAnswerer> open(GnomeDesktop& desktop);
    ~ConsentAnswerer();
    ConsentAnswerer(const ConsentAnswerer&) = delete;
    ConsentAnswerer& operator=(const ConsentAnswerer&) = delete;

    // Waits until the dialog shows, presses the answer ("Share" with "Remember this
    // selection" ticked, so that the portal hands out a restore token, or "Cancel"),
    // and waits until the dialog has gone. False, with what went wrong on standard
    // error, when that did not happen within `limit`.
    bool answer(Consent consent, std::chrono::milliseconds limit);
    // Whether the dialog is on the screen now.
    bool dialogShown();

    // Moves the pointer to a position of the monitor, in pixels.
    bool movePointer(double x, double y);

private:
    ConsentAnswerer(GnomeDesktop& desktop) : desktop_(desktop) {}
    bool click(DialogOffset where);
    std::unique_ptr<ScreenPictures> watchDialog();
    // Clicks `where` until a picture satisfies `wanted`, each try given `each`.
    bool clickUntil(ScreenPictures& pictures, DialogOffset where, const std::function<bool(const Picture&)>& wanted,
                    std::chrono::milliseconds each, std::chrono::steady_clock::time_point deadline);

    GnomeDesktop& desktop_;
    std::unique_ptr<BusConnection> bus_;
    std::string remoteDesktop_;  // the remote desktop session's object path
    std::string stream_;         // the monitor's screen cast stream, the frame of pointer positions
    uint32_t node_ = 0;          // that stream's PipeWire node
    bool started_ = false;
};

}  // namespace testsupport
