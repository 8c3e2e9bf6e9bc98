// zentcap_animator: keeps an X screen busy with moving content, for demos and
// tests of the streamer. It covers the screen with an override-redirect window
// (no window manager needed) and redraws it at a fixed rate: scrolling colour
// bars, a bouncing square and, on request, many small rectangles of random
// colours that make every frame expensive to compress.
//
//   zentcap_animator [--fps N] [--rects N] [--seconds S]
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <time.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace {

struct Settings {
    int fps = 30;
    int rects = 0;
    double seconds = 0;  // 0: until killed
};

bool parseInt(const char* text, int& value) {
    auto [end, error] = std::from_chars(text, text + std::strlen(text), value);
    return error == std::errc() && *end == '\0';
}

bool parseSettings(int argc, char** argv, Settings& settings) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (arg == "--fps") {
            if (!parseInt(value, settings.fps) || settings.fps < 1 || settings.fps > 240) return false;
        } else if (arg == "--rects") {
            if (!parseInt(value, settings.rects) || settings.rects < 0) return false;
        } else if (arg == "--seconds") {
            settings.seconds = std::atof(value);
        } else {
            return false;
        }
    }
    return true;
}

unsigned long rgb(unsigned r, unsigned g, unsigned b) { return (r << 16) | (g << 8) | b; }  // TrueColor 24

void addNanoseconds(timespec& at, long nanoseconds) {
    at.tv_nsec += nanoseconds;
    while (at.tv_nsec >= 1000000000L) {
        at.tv_nsec -= 1000000000L;
        ++at.tv_sec;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    if (!parseSettings(argc, argv, settings)) {
        std::fprintf(stderr, "Uso: zentcap_animator [--fps N] [--rects N] [--seconds S]\n");
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "zentcap_animator: no se pudo abrir la pantalla\n");
        return 1;
    }
    int screen = DefaultScreen(display);
    int width = DisplayWidth(display, screen), height = DisplayHeight(display, screen);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = BlackPixel(display, screen);
    Window window = XCreateWindow(display, RootWindow(display, screen), 0, 0, width, height, 0, CopyFromParent,
                                  InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XStoreName(display, window, "zentcap_animator");
    XMapWindow(display, window);
    GC gc = XCreateGC(display, window, 0, nullptr);

    static const unsigned long bars[] = {rgb(230, 40, 40),  rgb(240, 160, 30), rgb(230, 230, 40), rgb(40, 200, 70),
                                         rgb(40, 190, 220), rgb(50, 70, 230),  rgb(170, 60, 220), rgb(240, 240, 240)};
    constexpr int barCount = sizeof bars / sizeof bars[0];
    std::mt19937 random(12345);
    long frameNs = 1000000000L / settings.fps;
    long totalFrames = settings.seconds > 0 ? static_cast<long>(settings.seconds * settings.fps) : -1;
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);

    for (long frame = 0; totalFrames < 0 || frame < totalFrames; ++frame) {
        // Bars scroll by 4 pixels a frame; the square bounces off the edges.
        int barWidth = (width + barCount - 1) / barCount;
        int shift = static_cast<int>((frame * 4) % (barWidth * barCount));
        for (int i = -barCount; i < barCount; ++i) {  // two periods cover the screen at any shift
            XSetForeground(display, gc, bars[(i + barCount) % barCount]);
            XFillRectangle(display, window, gc, i * barWidth + shift, 0, barWidth, height / 2);
        }
        XSetForeground(display, gc, rgb(20, 20, 30));
        XFillRectangle(display, window, gc, 0, height / 2, width, height - height / 2);
        int side = height / 6;
        int spanX = width - side, spanY = height / 2 - side;
        int x = static_cast<int>((frame * 7) % (2 * spanX)), y = static_cast<int>((frame * 5) % (2 * spanY));
        if (x > spanX) x = 2 * spanX - x;
        if (y > spanY) y = 2 * spanY - y;
        XSetForeground(display, gc, rgb(250, 250, 250));
        XFillRectangle(display, window, gc, x, height / 2 + y, side, side);
        for (int i = 0; i < settings.rects; ++i) {
            XSetForeground(display, gc, random() & 0xffffff);
            XFillRectangle(display, window, gc, static_cast<int>(random() % width), static_cast<int>(random() % height),
                           8 + random() % 56, 8 + random() % 56);
        }
        XFlush(display);
        addNanoseconds(next, frameNs);
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    XFreeGC(display, gc);
    XCloseDisplay(display);
    return 0;
}
