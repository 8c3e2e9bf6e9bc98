// Plays the local user on an Xvfb display for bench/soak.sh, one command per line on
// standard input, until it closes:
//   escape N   N presses of Escape, 100 ms apart (three make the blocker's safety exit)
//   key        a press and release of "a"
//   click      a press and release of the first button
//   move       a small relative pointer move
// Everything goes through the "Xvfb keyboard" and "Xvfb mouse" devices, as a real
// keyboard and mouse would. Input to a disabled device is dropped by the server, which
// is what the soak wants. Status 1 when the display or its devices cannot be opened.

#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

namespace {

constexpr unsigned kEscape = 9;  // evdev keycodes, as every X server numbers them
constexpr unsigned kA = 38;

XDevice* openDevice(Display* display, const char* name) {
    int count = 0;
    XDeviceInfo* list = XListInputDevices(display, &count);
    XID id = 0;
    bool found = false;
    for (int i = 0; i < count; ++i) {
        if (list[i].name && std::strcmp(list[i].name, name) == 0) {
            id = list[i].id;
            found = true;
        }
    }
    if (list) XFreeDeviceList(list);
    return found ? XOpenDevice(display, id) : nullptr;
}

void key(Display* display, XDevice* keyboard, unsigned keycode) {
    XTestFakeDeviceKeyEvent(display, keyboard, keycode, True, nullptr, 0, CurrentTime);
    XTestFakeDeviceKeyEvent(display, keyboard, keycode, False, nullptr, 0, CurrentTime);
    XSync(display, False);
}

}  // namespace

int main() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "soak_local_user: no display\n");
        return 1;
    }
    XDevice* keyboard = openDevice(display, "Xvfb keyboard");
    XDevice* mouse = openDevice(display, "Xvfb mouse");
    if (!keyboard || !mouse) {
        std::fprintf(stderr, "soak_local_user: the display has no Xvfb keyboard and mouse\n");
        return 1;
    }
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command;
        words >> command;
        if (command == "escape") {
            int presses = 3;
            words >> presses;
            for (int i = 0; i < presses; ++i) {
                if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
                key(display, keyboard, kEscape);
            }
        } else if (command == "key") {
            key(display, keyboard, kA);
        } else if (command == "click") {
            XTestFakeDeviceButtonEvent(display, mouse, 1, True, nullptr, 0, CurrentTime);
            XTestFakeDeviceButtonEvent(display, mouse, 1, False, nullptr, 0, CurrentTime);
            XSync(display, False);
        } else if (command == "move") {
            int axes[2] = {7, -5};
            XTestFakeDeviceMotionEvent(display, mouse, True, 0, axes, 2, CurrentTime);
            XSync(display, False);
        }
    }
    XCloseDevice(display, keyboard);
    XCloseDevice(display, mouse);
    XCloseDisplay(display);
    return 0;
}
