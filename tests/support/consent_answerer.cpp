#include "tests/support/consent_answerer.h"

#include <gio/gio.h>

#include <cstdio>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kRemoteDesktop = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kRemoteDesktopSession = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* kScreenCast = "org.gnome.Mutter.ScreenCast";
constexpr int kLeftButton = 0x110;  // BTN_LEFT of linux/input-event-codes.h

// The part of the screen watched: the dialog (520 x 300) with a margin, around the
// monitor's centre.
constexpr int kWatchedWidth = 600;
constexpr int kWatchedHeight = 360;

// The dialog, 520 x 300, centred on the monitor (+ marks its centre):
//
//   +--------+-------------------------------------------+-------+
//   | Cancel |               Screen Share                | Share |   y -128
//   +--------+-------------------------------------------+-------+
//   |     Select monitor to share with the requesting application  |
//   |              [x] Remember this selection                     |   y -27
//   |   +------------------------------------------------------+   |
//   |   | MetaVendor                  +                        |   |   y +26
//   |   +------------------------------------------------------+   |
//   |                         (empty)                              |   y +110
//   +--------------------------------------------------------------+
//
// Controls of the dialog, relative to its centre, and places whose colour tells its
// state. Share and the tick box are the theme's blue (53, 132, 228) when active;
// Share is a pale blue until a monitor is chosen.
constexpr DialogOffset kCancel{-210, -128};
constexpr DialogOffset kShare{212, -128};
constexpr DialogOffset kShareFace{177, -120};        // the button beside its label
constexpr DialogOffset kRememberBox{-94, -27};
constexpr DialogOffset kRememberFace{-100, -33};
constexpr DialogOffset kMonitorRow{0, 26};
constexpr DialogOffset kBody[] = {{0, 110}, {-200, 110}, {200, 110}};  // the empty lower part, near white

Rgb colourAt(const Picture& picture, DialogOffset place) {
    return picture.at(kWatchedWidth / 2 + place.dx, kWatchedHeight / 2 + place.dy);
}

bool isActiveBlue(Rgb colour) { return colour.b > 200 && colour.r < 100 && colour.g > 100 && colour.g < 170; }

bool showsDialog(const Picture& picture) {
    for (DialogOffset place : kBody) {
        Rgb colour = colourAt(picture, place);
        if (colour.r < 230 || colour.g < 230 || colour.b < 230) return false;
    }
    return true;
}

std::string objectPath(const Variant& reply) {
    const gchar* path = nullptr;
    g_variant_get(reply.get(), "(&o)", &path);
    return path;
}

}  // namespace

std::unique_ptr<ConsentAnswerer> ConsentAnswerer::open(GnomeDesktop& desktop) {
    std::unique_ptr<ConsentAnswerer> answerer(new ConsentAnswerer(desktop));
    answerer->bus_ = BusConnection::open(desktop.environment().at("DBUS_SESSION_BUS_ADDRESS"));
    if (!answerer->bus_) return nullptr;
    BusConnection& bus = *answerer->bus_;
    std::string error;
    auto failed = [&](const char* step) {
        std::fprintf(stderr, "mutter's remote desktop: %s failed: %s\n", step, error.c_str());
        return nullptr;
    };

    auto session = bus.call(kRemoteDesktop, "/org/gnome/Mutter/RemoteDesktop", kRemoteDesktop, "CreateSession",
                            nullptr, G_VARIANT_TYPE("(o)"), milliseconds(25000), &error);
    if (!session) return failed("CreateSession");
    answerer->remoteDesktop_ = objectPath(session);
    auto id = bus.property(kRemoteDesktop, answerer->remoteDesktop_, kRemoteDesktopSession, "SessionId");
    if (!id) return failed("SessionId");

    // The screen cast linked to the remote desktop session is what absolute pointer
    // positions refer to.
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "remote-desktop-session-id", g_variant_ref(id.get()));
    auto cast = bus.call(kScreenCast, "/org/gnome/Mutter/ScreenCast", kScreenCast, "CreateSession",
                         g_variant_new("(a{sv})", &properties), G_VARIANT_TYPE("(o)"), milliseconds(25000), &error);
    if (!cast) return failed("ScreenCast CreateSession");
    // The empty connector is the primary monitor, the desktop's one virtual monitor.
    GVariantBuilder recordOptions;
    g_variant_builder_init(&recordOptions, G_VARIANT_TYPE("a{sv}"));
    auto stream = bus.call(kScreenCast, objectPath(cast), "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor",
                           g_variant_new("(sa{sv})", "", &recordOptions), G_VARIANT_TYPE("(o)"), milliseconds(25000),
                           &error);
    if (!stream) return failed("RecordMonitor");
    answerer->stream_ = objectPath(stream);

    bus.subscribe(kScreenCast, "org.gnome.Mutter.ScreenCast.Stream", "PipeWireStreamAdded",
                  answerer->stream_.c_str(), [raw = answerer.get()](GVariant* parameters) {
                      g_variant_get(parameters, "(u)", &raw->node_);
                  });
    if (!bus.call(kRemoteDesktop, answerer->remoteDesktop_, kRemoteDesktopSession, "Start", nullptr, nullptr,
                  milliseconds(25000), &error))
        return failed("Start");
    answerer->started_ = true;
    if (!bus.runUntil([&] { return answerer->node_ != 0; }, scaled(milliseconds(30000)))) {
        error = "no PipeWire stream";
        return failed("RecordMonitor");
    }
    return answerer;
}

ConsentAnswerer::~ConsentAnswerer() {
    if (started_)
        bus_->call(kRemoteDesktop, remoteDesktop_, kRemoteDesktopSession, "Stop", nullptr, nullptr,
                   milliseconds(10000));
}

bool ConsentAnswerer::movePointer(double x, double y) {
    return bus_->call(kRemoteDesktop, remoteDesktop_, kRemoteDesktopSession, "NotifyPointerMotionAbsolute",
                      g_variant_new("(sdd)", stream_.c_str(), x, y)) != nullptr;
}

bool ConsentAnswerer::click(DialogOffset where) {
    // The dialog is centred on the monitor.
    if (!movePointer(desktop_.width() / 2.0 + where.dx, desktop_.height() / 2.0 + where.dy)) return false;
    for (const gboolean pressed : {gboolean(TRUE), gboolean(FALSE)}) {
        if (!bus_->call(kRemoteDesktop, remoteDesktop_, kRemoteDesktopSession, "NotifyPointerButton",
                        g_variant_new("(ib)", kLeftButton, pressed)))
            return false;
    }
    return true;
}

std::unique_ptr<ScreenPictures> ConsentAnswerer::watchDialog() {
    // Pictures are read only while a test looks at the dialog: every picture costs
    // mutter a copy of the screen.
    Rectangle region{(desktop_.width() - kWatchedWidth) / 2, (desktop_.height() - kWatchedHeight) / 2,
                     kWatchedWidth, kWatchedHeight};
    auto pictures = ScreenPictures::start(node_, desktop_.width(), desktop_.height(), region, desktop_.environment());
    if (!pictures) std::fprintf(stderr, "the screen cannot be watched\n");
    return pictures;
}

bool ConsentAnswerer::dialogShown() {
    auto pictures = watchDialog();
    if (!pictures) return false;
    // The stream's first picture shows the screen as it is.
    auto first = pictures->waitFor([](const Picture&) { return true; }, scaled(milliseconds(20000)));
    return first && showsDialog(*first);
}

bool ConsentAnswerer::clickUntil(ScreenPictures& pictures, DialogOffset where,
                                 const std::function<bool(const Picture&)>& wanted, milliseconds each,
                                 Clock::time_point deadline) {
    // A click that mutter or the dialog missed on a busy machine is given again; a
    // repeated click on these controls changes nothing once they took the first.
    while (Clock::now() < deadline) {
        if (!click(where)) return false;
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (pictures.waitFor(wanted, std::min(each, std::max(left, milliseconds(0))))) return true;
    }
    return false;
}

bool ConsentAnswerer::answer(Consent consent, milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    const auto left = [&] { return std::chrono::duration_cast<milliseconds>(deadline - Clock::now()); };
    auto pictures = watchDialog();
    if (!pictures) return false;
    if (!pictures->waitFor(showsDialog, left())) {
        std::fprintf(stderr, "the Screen Share dialog did not show\n");
        return false;
    }
    const auto gone = [](const Picture& picture) { return !showsDialog(picture); };
    const milliseconds each = scaled(milliseconds(3000));
    if (consent == Consent::cancel) {
        if (clickUntil(*pictures, kCancel, gone, each, deadline)) return true;
        std::fprintf(stderr, "the Screen Share dialog stayed after Cancel\n");
        return false;
    }
    const auto remembered = [](const Picture& picture) { return isActiveBlue(colourAt(picture, kRememberFace)); };
    if (!pictures->waitFor(remembered, milliseconds(0)) &&
        !clickUntil(*pictures, kRememberBox, remembered, each, deadline)) {
        std::fprintf(stderr, "\"Remember this selection\" could not be ticked\n");
        return false;
    }
    // Share is insensitive until the monitor is chosen.
    const auto shareable = [](const Picture& picture) { return isActiveBlue(colourAt(picture, kShareFace)); };
    if (!clickUntil(*pictures, kMonitorRow, shareable, each, deadline)) {
        std::fprintf(stderr, "the monitor could not be chosen in the Screen Share dialog\n");
        return false;
    }
    if (clickUntil(*pictures, kShare, gone, each, deadline)) return true;
    std::fprintf(stderr, "the Screen Share dialog stayed after Share\n");
    return false;
}

}  // namespace testsupport
