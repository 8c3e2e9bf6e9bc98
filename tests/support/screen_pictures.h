#pragma once
// Pictures of a screen cast stream of the session's PipeWire, for a test that must see
// the screen (a dialog to answer): gst-launch reads the stream, keeps a rectangle of
// it as RGB and writes the pictures on its standard output, where a thread keeps the
// latest. A compositor sends a picture when the screen changes, so waiting for a
// picture that shows something is waiting for the screen to show it.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "tests/support/child.h"
#include "tests/support/rgb.h"
#include "tests/support/session_processes.h"

namespace testsupport {

struct Rectangle {
    int x = 0, y = 0, width = 0, height = 0;
};

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // rows top to bottom, 3 bytes a pixel
    Rgb at(int x, int y) const;
};

class ScreenPictures {
public:
    // Reads PipeWire node `node`, whose pictures are `screenWidth` x `screenHeight`,
    // keeping `region` of them. Null when gst-launch cannot be started.
    static std::unique_ptr<ScreenPictures> start(uint32_t node, int screenWidth, int screenHeight, Rectangle region,
                                                 const Environment& env);
    ~ScreenPictures();
    ScreenPictures(const ScreenPictures&) = delete;
    ScreenPictures& operator=(const ScreenPictures&) = delete;

    // The first picture, from the latest one on, that satisfies `wanted`; nullopt when
    // none came within `limit` (or the stream ended).
    std::optional<Picture> waitFor(const std::function<bool(const Picture&)>& wanted, std::chrono::milliseconds limit);

private:
    ScreenPictures() = default;
    void readLoop();

    Rectangle region_;
    std::unique_ptr<Child> reader_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::optional<Picture> latest_;
    uint64_t count_ = 0;
    bool ended_ = false;
};

}  // namespace testsupport
