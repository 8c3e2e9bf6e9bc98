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
    // server has drawn it.
    void paintRoot(Rgb background, const std::vector<Block>& blocks);
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
