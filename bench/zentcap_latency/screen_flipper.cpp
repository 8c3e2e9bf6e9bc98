#include "bench/zentcap_latency/screen_flipper.h"

#include <X11/Xlib.h>

#include <time.h>

#include <random>

namespace bench {

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

bool ScreenFlipper::start(int animationFps) {
    Display* display = XOpenDisplay(display_.c_str());
    if (!display) return false;
    width_ = DisplayWidth(display, DefaultScreen(display));
    height_ = DisplayHeight(display, DefaultScreen(display));
    stop_ = false;
    thread_ = std::thread([this, display, animationFps] { run(display, animationFps); });
    return true;
}

void ScreenFlipper::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

std::vector<Flip> ScreenFlipper::flips() const {
    std::scoped_lock lock(mutex_);
    return flips_;
}

void ScreenFlipper::run(void* opaque, int animationFps) {
    auto* display = static_cast<Display*>(opaque);
    int screen = DefaultScreen(display);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = 0x404850;
    Window window = XCreateWindow(display, RootWindow(display, screen), 0, 0, unsigned(width_), unsigned(height_), 0,
                                  CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel,
                                  &attributes);
    XMapWindow(display, window);
    GC gc = XCreateGC(display, window, 0, nullptr);
    XSync(display, False);

    std::mt19937 random(7);
    std::uniform_real_distribution<double> jitter(0.0, 0.15);
    bool white = false;
    double nextFlip = monotonicSeconds() + 1.0;  // let the stream start first
    double tick = 1.0 / animationFps;
    double nextTick = monotonicSeconds();
    int frame = 0;
    int barWidth = width_ / 16;
    while (!stop_) {
        // The moving bar, below the patch.
        int x = (frame * 8) % (width_ + barWidth) - barWidth;
        XSetForeground(display, gc, 0x404850);
        XFillRectangle(display, window, gc, 0, height_ / 2, unsigned(width_), unsigned(height_ / 4));
        XSetForeground(display, gc, 0xe0c040);
        XFillRectangle(display, window, gc, x, height_ / 2, unsigned(barWidth), unsigned(height_ / 4));
        ++frame;
        double now = monotonicSeconds();
        if (now >= nextFlip) {
            white = !white;
            XSetForeground(display, gc, white ? 0xffffff : 0x000000);
            XFillRectangle(display, window, gc, 0, 0, kPatch, kPatch);
            XSync(display, False);
            double at = monotonicSeconds();
            {
                std::scoped_lock lock(mutex_);
                flips_.push_back({at, white});
            }
            nextFlip = at + 0.3 + jitter(random);
        } else {
            XFlush(display);
        }
        nextTick += tick;
        double sleep = nextTick - monotonicSeconds();
        if (sleep > 0) {
            timespec pause{time_t(sleep), long((sleep - double(time_t(sleep))) * 1e9)};
            nanosleep(&pause, nullptr);
        } else {
            nextTick = monotonicSeconds();
        }
    }
    XFreeGC(display, gc);
    XDestroyWindow(display, window);
    XCloseDisplay(display);
}

}  // namespace bench
