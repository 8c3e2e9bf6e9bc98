#include "tests/support/x_screen.h"

#include <X11/Xlib.h>
#include <time.h>

namespace testsupport {

struct XScreen::Handles {
    Display* display = nullptr;
    Window root = 0;
    Pixmap background = 0;
};

std::unique_ptr<XScreen> XScreen::open(const std::string& display) {
    Display* connection = XOpenDisplay(display.c_str());
    if (!connection) return nullptr;
    std::unique_ptr<XScreen> screen(new XScreen());
    screen->handles_ = std::make_unique<Handles>();
    screen->handles_->display = connection;
    int number = DefaultScreen(connection);
    screen->handles_->root = RootWindow(connection, number);
    screen->width_ = DisplayWidth(connection, number);
    screen->height_ = DisplayHeight(connection, number);
    return screen;
}

XScreen::~XScreen() {
    if (handles_->background) XFreePixmap(handles_->display, handles_->background);
    XCloseDisplay(handles_->display);
}

namespace {
unsigned long pixelOf(Rgb colour) { return (unsigned long)colour.r << 16 | (unsigned long)colour.g << 8 | colour.b; }

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}
}  // namespace

Shown XScreen::paintRoot(Rgb background, const std::vector<Block>& blocks) {
    Display* display = handles_->display;
    int depth = DefaultDepth(display, DefaultScreen(display));
    Pixmap pixmap = XCreatePixmap(display, handles_->root, unsigned(width_), unsigned(height_), unsigned(depth));
    GC gc = XCreateGC(display, pixmap, 0, nullptr);
    XSetForeground(display, gc, pixelOf(background));
    XFillRectangle(display, pixmap, gc, 0, 0, unsigned(width_), unsigned(height_));
    for (const auto& block : blocks) {
        XSetForeground(display, gc, pixelOf(block.colour));
        XFillRectangle(display, pixmap, gc, block.x, block.y, unsigned(block.width), unsigned(block.height));
    }
    XFreeGC(display, gc);
    XSetWindowBackgroundPixmap(display, handles_->root, pixmap);
    XSync(display, False);
    Shown shown;
    shown.from = monotonicSeconds();
    XClearWindow(display, handles_->root);
    XSync(display, False);
    shown.to = monotonicSeconds();
    if (handles_->background) XFreePixmap(display, handles_->background);
    handles_->background = pixmap;
    XFlush(display);
    return shown;
}

void XScreen::warpPointer(int x, int y) {
    XWarpPointer(handles_->display, None, handles_->root, 0, 0, 0, 0, x, y);
    XSync(handles_->display, False);
}

}  // namespace testsupport
