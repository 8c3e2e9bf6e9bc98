#pragma once
// Direct control of a test X server: what is on the screen and where the pointer is.

#include <memory>
#include <string>
#include <vector>

#include "tests/support/rgb.h"

namespace testsupport {

struct Block {
    int x, y, width, height;
    Rgb colour;
};

// When a painted picture appeared: at one instant between `from` and `to`, seconds
// of CLOCK_MONOTONIC (the clock of the programs' timestamps).
struct Shown {
    double from = 0, to = 0;
};

class XScreen {
public:
    // Null when the display cannot be opened.
    static std::unique_ptr<XScreen> open(const std::string& display);
    ~XScreen();
    XScreen(const XScreen&) = delete;
    XScreen& operator=(const XScreen&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }

    // Makes the blocks (over a background colour) the root window's background,
    // so the picture stays whatever happens on the screen, and waits until the
    // server has drawn it. The picture is drawn out of sight first and then shown
    // at once: the span it returns holds only that last step, however long the
    // drawing took (a 4K picture on a busy machine, say).
    Shown paintRoot(Rgb background, const std::vector<Block>& blocks);
    // Moves the pointer and waits until the server did it.
    void warpPointer(int x, int y);

private:
    XScreen() = default;
    struct Handles;
    std::unique_ptr<Handles> handles_;
    int width_ = 0;
    int height_ = 0;
};

}  // namespace testsupport
