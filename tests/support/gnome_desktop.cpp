#include "tests/support/gnome_desktop.h"

#include <filesystem>
#include <fstream>

namespace testsupport {

std::unique_ptr<GnomeDesktop> GnomeDesktop::start(GnomeDesktopOptions options) {
    std::unique_ptr<GnomeDesktop> desktop(new GnomeDesktop());
    desktop->options_ = options;
    desktop->session_ = SessionProcesses::create("zentori-gnome");
    if (!desktop->session_) return nullptr;
    SessionProcesses& session = *desktop->session_;
    // GNOME's portal choice, and settings kept in memory rather than in a dconf
    // database that would need a service of its own.
    session.setVariable("XDG_CURRENT_DESKTOP", "GNOME");
    session.setVariable("GSETTINGS_BACKEND", "memory");
    // No accessibility bus: its launcher starts a bus of its own that is nobody's
    // client on the session bus, so nothing would end it.
    session.setVariable("NO_AT_BRIDGE", "1");
    session.setVariable("GTK_A11Y", "none");
    // Where the dialog's buttons lie depends on its text's font: only DejaVu (which
    // fontconfig itself pulls in) is offered, whatever else the machine has.
    const std::string fonts = session.folder() + "/fonts.conf";
    std::ofstream(fonts) << "<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"fonts.dtd\">\n"
                         << "<fontconfig><dir>/usr/share/fonts/truetype/dejavu</dir><cachedir>"
                         << session.folder() << "/fontconfig</cachedir></fontconfig>\n";
    session.setVariable("FONTCONFIG_FILE", fonts);
    if (!session.startBus() || !session.startPipeWire(options.sound)) return nullptr;

    // mutter serves screen casts and remote desktop sessions on the bus and PipeWire,
    // so it comes after both; the Wayland socket's name is fixed, the folder private.
    const std::string display = "wayland-0";
    const std::string monitor = std::to_string(options.width) + "x" + std::to_string(options.height);
    if (!session.launch({"mutter", "--headless", "--wayland", "--no-x11", "--virtual-monitor", monitor,
                         "--wayland-display=" + display}))
        return nullptr;
    if (!session.waitUntil(
            [&] {
                return std::filesystem::exists(session.folder() + "/" + display) &&
                       session.bus().hasOwner("org.gnome.Mutter.ScreenCast") &&
                       session.bus().hasOwner("org.gnome.Mutter.RemoteDesktop");
            },
            std::chrono::seconds(60), "mutter"))
        return nullptr;
    session.setVariable("WAYLAND_DISPLAY", display);
    // The portal backend shows its dialog as a Wayland client: it and whatever else
    // the bus starts on demand must find the compositor.
    if (!session.passEnvironmentToBus()) return nullptr;
    if (!session.launch({"/usr/libexec/xdg-desktop-portal-gnome"})) return nullptr;
    if (!session.waitUntil([&] { return session.bus().hasOwner("org.freedesktop.impl.portal.desktop.gnome"); },
                           std::chrono::seconds(60), "xdg-desktop-portal-gnome"))
        return nullptr;
    if (!session.startPortal()) return nullptr;
    return desktop;
}

}  // namespace testsupport
