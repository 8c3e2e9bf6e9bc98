#pragma once
// A Wayland client that changes the screen at known instants, for the Wayland latency
// benchmark: a fullscreen window where a row of square patches shows a 4-bit number
// in black and white, counted up at random instants 100 to 200 ms apart (following
// neither the bar nor any capture clock), while in the moving scene a bar moves at 60
// frames a second so that frames flow at the full rate.
//
// Each change is stamped with the time at which the compositor drew the first frame
// with the commit that carries it (the frame callback's time, on CLOCK_MONOTONIC):
// that is when it reached the glass. (Presentation feedback would say so directly, but
// headless sway discards it all.) A picture is matched to a change by the number it shows, so a
// slow capturer can never be credited with a later change than the one it shows: 16
// changes (at least 1.6 s) pass before a number comes back.

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

enum class WaylandScene {
    moving,  // the bar moves all the time
    still,   // only the number changes
};

struct NumberChange {
    double at = 0;   // CLOCK_MONOTONIC seconds when drawn (0: not yet)
    int number = 0;  // 0..15
};

class WaylandFlipper {
public:
    static constexpr int kBits = 4;
    static constexpr int kPatch = 120;  // side of each patch, in pixels; patches touch, at the top left
    static constexpr int kAnimationFps = 60;

    // `socket`: the compositor's socket (an absolute path).
    explicit WaylandFlipper(std::string socket) : socket_(std::move(socket)) {}
    ~WaylandFlipper() { stop(); }
    WaylandFlipper(const WaylandFlipper&) = delete;
    WaylandFlipper& operator=(const WaylandFlipper&) = delete;

    // Connects, shows the window and starts changing it; false when the compositor
    // cannot be reached or does not offer what the client needs.
    bool start(WaylandScene scene);
    void stop();

    // Changes committed so far, in order (those not drawn yet with `at` 0).
    std::vector<NumberChange> changes() const;
    long animationFrames() const { return animationFrames_.load(); }
    int screenWidth() const { return width_; }
    int screenHeight() const { return height_; }

    struct Client;

private:
    void run(Client& client);

    std::string socket_;
    WaylandScene scene_ = WaylandScene::moving;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<long> animationFrames_{0};
    mutable std::mutex mutex_;
    std::vector<NumberChange> changes_;
    int width_ = 0, height_ = 0;
    Client* client_ = nullptr;
};

}  // namespace bench
