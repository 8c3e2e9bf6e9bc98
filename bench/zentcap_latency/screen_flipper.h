#pragma once
// An X client that changes the screen at known instants: a square patch in the
// top-left corner flips between black and white every few hundred milliseconds
// (with jitter, so flips do not lock to the capture clock), while a bar moves
// continuously elsewhere so that frames flow at the full rate. Each flip is
// stamped with CLOCK_MONOTONIC right after XSync returned, i.e. once the server
// has drawn it.

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

struct Flip {
    double at;   // CLOCK_MONOTONIC seconds
    bool white;  // the patch's new state
};

class ScreenFlipper {
public:
    static constexpr int kPatch = 240;  // side of the patch in screen pixels

    explicit ScreenFlipper(std::string display) : display_(std::move(display)) {}
    ~ScreenFlipper() { stop(); }
    ScreenFlipper(const ScreenFlipper&) = delete;
    ScreenFlipper& operator=(const ScreenFlipper&) = delete;

    // False if the display cannot be opened.
    bool start(int animationFps);
    void stop();
    std::vector<Flip> flips() const;
    int screenWidth() const { return width_; }
    int screenHeight() const { return height_; }

private:
    void run(void* display, int animationFps);

    std::string display_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<Flip> flips_;
    int width_ = 0;
    int height_ = 0;
};

double monotonicSeconds();

}  // namespace bench
