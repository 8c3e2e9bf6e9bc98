#include "bench/zentcap_latency/screen_flipper.h"

#include <X11/Xlib.h>

#include <time.h>

#include <algorithm>
#include <random>

namespace bench {

namespace {

constexpr unsigned long kBackground = 0x404850;

void sleepSeconds(double seconds) {
    if (seconds <= 0) return;
    timespec pause{time_t(seconds), long((seconds - double(time_t(seconds))) * 1e9)};
    nanosleep(&pause, nullptr);
}

}  // namespace

const char* sceneName(Scene scene) {
    switch (scene) {
        case Scene::moving: return "moving";
        case Scene::still: return "still";
        case Scene::typing: return "typing";
    }
    return "?";
}

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

bool ScreenFlipper::start(Scene scene) {
    Display* display = XOpenDisplay(display_.c_str());
    if (!display) return false;
    // Xlib connections are not shared between threads: the flips get their own.
    Display* flipDisplay = XOpenDisplay(display_.c_str());
    if (!flipDisplay) {
        XCloseDisplay(display);
        return false;
    }
    int screen = DefaultScreen(display);
    width_ = DisplayWidth(display, screen);
    height_ = DisplayHeight(display, screen);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = kBackground;
    Window window = XCreateWindow(display, RootWindow(display, screen), 0, 0, unsigned(width_), unsigned(height_), 0,
                                  CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel,
                                  &attributes);
    XMapWindow(display, window);
    XSync(display, False);
    windowDisplay_ = display;
    window_ = window;
    stop_ = false;
    animationFrames_ = 0;
    scene_ = scene;
    if (scene == Scene::moving) animator_ = std::thread([this, display] { animate(display); });
    if (scene == Scene::typing) animator_ = std::thread([this, display] { type(display); });
    flipper_ = std::thread([this, flipDisplay] { flip(flipDisplay); });
    return true;
}

void ScreenFlipper::stop() {
    stop_ = true;
    if (animator_.joinable()) animator_.join();
    if (flipper_.joinable()) flipper_.join();
    if (auto* display = static_cast<Display*>(windowDisplay_)) {
        XDestroyWindow(display, window_);
        XCloseDisplay(display);
        windowDisplay_ = nullptr;
    }
}

std::vector<Flip> ScreenFlipper::flips() const {
    std::scoped_lock lock(mutex_);
    return flips_;
}

void ScreenFlipper::animate(void* opaque) {
    auto* display = static_cast<Display*>(opaque);
    GC gc = XCreateGC(display, window_, 0, nullptr);
    const double tick = 1.0 / kAnimationFps;
    double nextTick = monotonicSeconds();
    int frame = 0;
    int barWidth = width_ / 16;
    while (!stop_) {
        // The moving bar, below the patch.
        int x = (frame * 8) % (width_ + barWidth) - barWidth;
        XSetForeground(display, gc, kBackground);
        XFillRectangle(display, window_, gc, 0, height_ / 2, unsigned(width_), unsigned(height_ / 4));
        XSetForeground(display, gc, 0xe0c040);
        XFillRectangle(display, window_, gc, x, height_ / 2, unsigned(barWidth), unsigned(height_ / 4));
        XFlush(display);
        ++frame;
        ++animationFrames_;
        nextTick += tick;
        double sleep = nextTick - monotonicSeconds();
        if (sleep > 0) {
            sleepSeconds(sleep);
        } else {
            nextTick = monotonicSeconds();
        }
    }
    XFreeGC(display, gc);
    XSync(display, False);
}

// Text being typed: every 125 ms a word of 3 to 8 glyphs (each a few strokes in a
// 10x18 cell) appears after the previous one, lines wrapping in the lower half of the
// screen, and a 2x18 caret after the last word blinks every half second. Each word is
// one drawing followed by a flush, as a terminal or an editor would draw it.
void ScreenFlipper::type(void* opaque) {
    auto* display = static_cast<Display*>(opaque);
    GC gc = XCreateGC(display, window_, 0, nullptr);
    std::mt19937 random(3);
    constexpr int kCellWidth = 10, kCellHeight = 18, kLine = 24;
    const int left = 60, right = width_ - 60, top = height_ / 2, bottom = height_ - 40;
    int x = left, y = top;
    bool caretShown = false;
    double nextWord = monotonicSeconds(), nextBlink = nextWord + 0.5;
    while (!stop_) {
        const double now = monotonicSeconds();
        if (now >= nextBlink) {
            caretShown = !caretShown;
            XSetForeground(display, gc, caretShown ? 0xf0f0f0 : kBackground);
            XFillRectangle(display, window_, gc, x, y, 2, kCellHeight);
            XFlush(display);
            nextBlink += 0.5;
        }
        if (now >= nextWord) {
            const int glyphs = 3 + int(random() % 6);
            if (x + (glyphs + 1) * kCellWidth > right) {
                x = left;
                y += kLine;
                if (y + kCellHeight > bottom) {  // a full page: start again on a clear one
                    y = top;
                    XSetForeground(display, gc, kBackground);
                    XFillRectangle(display, window_, gc, left, top, unsigned(right - left), unsigned(bottom - top));
                }
            }
            if (caretShown) {  // the caret moves on with the text
                XSetForeground(display, gc, kBackground);
                XFillRectangle(display, window_, gc, x, y, 2, kCellHeight);
            }
            XSetForeground(display, gc, 0xf0f0f0);
            for (int g = 0; g < glyphs; ++g) {
                const int cell = x + g * kCellWidth;
                // Two or three strokes inside the cell: a vertical, a horizontal, a dot.
                XFillRectangle(display, window_, gc, cell + 1 + int(random() % 6), y + 3, 2, kCellHeight - 5);
                XFillRectangle(display, window_, gc, cell + 1, y + 4 + int(random() % 10), 7, 2);
                if (random() % 2) XFillRectangle(display, window_, gc, cell + int(random() % 7), y + 1, 2, 2);
            }
            x += (glyphs + 1) * kCellWidth;
            if (caretShown) XFillRectangle(display, window_, gc, x, y, 2, kCellHeight);
            XFlush(display);
            ++animationFrames_;
            nextWord += 0.125;
        }
        sleepSeconds(std::max(0.0, std::min(nextWord, nextBlink) - monotonicSeconds()));
    }
    XFreeGC(display, gc);
    XSync(display, False);
}

void ScreenFlipper::flip(void* opaque) {
    auto* display = static_cast<Display*>(opaque);
    GC gc = XCreateGC(display, window_, 0, nullptr);
    std::mt19937 random(7);
    // 0.1 to 0.2 s apart: well above any latency measured, so each flip is seen
    // before the next, and irregular at every scale below a frame interval; about
    // 40 flips in a 6 s window.
    std::uniform_real_distribution<double> gap(shortestGap_, longestGap_);
    bool white = false;
    double nextFlip = monotonicSeconds() + 1.0;  // let the stream start first
    while (!stop_) {
        double now = monotonicSeconds();
        if (now < nextFlip) {
            // Short naps so that stop() is not kept waiting.
            sleepSeconds(std::min(nextFlip - now, 0.05));
            continue;
        }
        white = !white;
        XSetForeground(display, gc, white ? 0xffffff : 0x000000);
        XFillRectangle(display, window_, gc, 0, 0, unsigned(patch()), unsigned(patch()));
        XSync(display, False);
        double at = monotonicSeconds();
        {
            std::scoped_lock lock(mutex_);
            flips_.push_back({at, white});
        }
        if (onFlip_) onFlip_({at, white});
        nextFlip = at + gap(random);
    }
    XFreeGC(display, gc);
    XCloseDisplay(display);
}

}  // namespace bench
