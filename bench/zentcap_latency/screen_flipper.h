#pragma once
// An X client that changes the screen at known instants: a square patch in the
// top-left corner flips between black and white every 100 to 200 milliseconds,
// while (in the moving scene) a bar moves at 60 frames a second elsewhere so that
// frames flow at the full rate, or (in the typing scene) words of glyph-sized marks
// appear several times a second beside a blinking caret, and the patch is itself
// glyph-sized. The flips come from a thread and a connection of
// their own, at random instants that follow neither the bar's ticks nor any
// capture clock: a flip drawn on the bar's tick would land at the same phase of a
// fixed-rate capturer every time, and the result would depend on that phase (up to
// a whole frame interval) rather than on the tool. Each flip is stamped with
// CLOCK_MONOTONIC right after XSync returned, i.e. once the server has drawn it.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

struct Flip {
    double at;   // CLOCK_MONOTONIC seconds
    bool white;  // the patch's new state
};

enum class Scene {
    moving,  // the bar moves all the time: a capturer runs at its full frame rate
    still,   // nothing but the flips changes: a capturer that follows changes idles between them
    typing,  // small changes only: a word every 125 ms, a caret blinking, a glyph-sized patch
};

const char* sceneName(Scene scene);

class ScreenFlipper {
public:
    static constexpr int kPatch = 240;       // side of the patch in screen pixels
    static constexpr int kGlyphPatch = 24;   // the same in the typing scene
    static constexpr int kAnimationFps = 60;

    explicit ScreenFlipper(std::string display) : display_(std::move(display)) {}
    ~ScreenFlipper() { stop(); }
    ScreenFlipper(const ScreenFlipper&) = delete;
    ScreenFlipper& operator=(const ScreenFlipper&) = delete;

    // Called on the flipping thread right after each flip was stamped; set before start().
    void setOnFlip(std::function<void(const Flip&)> onFlip) { onFlip_ = std::move(onFlip); }
    // Flips come `shortest` to `longest` seconds apart (0.1 to 0.2 unless set); set
    // before start().
    void setGap(double shortest, double longest) {
        shortestGap_ = shortest;
        longestGap_ = longest;
    }
    // False if the display cannot be opened.
    bool start(Scene scene);
    void stop();
    std::vector<Flip> flips() const;
    // Frames of the bar drawn so far (none in the still scene).
    long animationFrames() const { return animationFrames_.load(); }
    // The patch's side in the scene started.
    int patch() const { return scene_ == Scene::typing ? kGlyphPatch : kPatch; }
    int screenWidth() const { return width_; }
    int screenHeight() const { return height_; }

private:
    void animate(void* display);
    void flip(void* display);
    void type(void* display);

    std::string display_;
    void* windowDisplay_ = nullptr;  // the connection that owns the window
    unsigned long window_ = 0;
    std::thread animator_;
    std::thread flipper_;
    std::atomic<bool> stop_{false};
    std::atomic<long> animationFrames_{0};
    mutable std::mutex mutex_;
    std::vector<Flip> flips_;
    std::function<void(const Flip&)> onFlip_;
    int width_ = 0;
    int height_ = 0;
    double shortestGap_ = 0.1, longestGap_ = 0.2;
    Scene scene_ = Scene::moving;
};

double monotonicSeconds();

}  // namespace bench
