#pragma once
// A private X server per test, with a client connection that paints the root window
// and moves the pointer, and a collector of the samples a capture stream delivers.

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/screen_capture.h"
#include "tests/support/rgb.h"
#include "tests/support/xvfb.h"

namespace linuxtest {

using namespace std::chrono_literals;

using testsupport::Rgb;

// Video-range BT.601 Y'CbCr of an sRGB colour, as the capture must produce it.
struct Yuv {
    double y, cb, cr;
};
Yuv expectedVideoRange601(Rgb colour);

class XServerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the server (1920x1080 unless told) and points DISPLAY at it.
    void startServer(const std::string& geometry = "1920x1080x24");
    void fill(int x, int y, int width, int height, Rgb colour);
    void warpPointer(int x, int y);
    // Gives the root window a red-on-blue crosshair from the core cursor font, so the
    // pointer's pixels have known colours (and its image stays readable while this
    // client is connected).
    void setColouredCursor();
    // Waits until the server has handled everything this client sent.
    void sync();
    xcb_connection_t* client() const { return client_; }
    xcb_window_t root() const { return root_; }
    // Runs `command` (argv) with DISPLAY set; its exit status.
    int run(std::vector<std::string> argv);

    std::unique_ptr<testsupport::Xvfb> server_;
    xcb_connection_t* client_ = nullptr;
    xcb_window_t root_ = 0;
    xcb_gcontext_t gc_ = 0;
};

// Samples delivered by a stream, for the test thread to wait on.
class SampleCollector {
public:
    enum class Images { keep, release };
    // `release` keeps each sample's status and time but lets its image go back to the
    // stream's pool at once, like a consumer that is done with it.
    explicit SampleCollector(Images images = Images::keep) : images_(images) {}

    platform::ScreenSampleHandler handler();
    // Waits until `done` holds over the samples received so far.
    bool waitFor(const std::function<bool(const std::vector<std::shared_ptr<const platform::VideoSample>>&)>& done,
                 std::chrono::milliseconds timeout);
    std::vector<std::shared_ptr<const platform::VideoSample>> samples();
    size_t count();
    void clear();

private:
    const Images images_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::shared_ptr<const platform::VideoSample>> samples_;
};

bool isComplete(const platform::VideoSample& sample);
bool isIdle(const platform::VideoSample& sample);

// Completion of an asynchronous platform call, awaited by the test.
template <class T>
class Completion {
public:
    void set(T value) {
        std::scoped_lock lock(mutex_);
        value_ = std::move(value);
        done_.notify_all();
    }
    std::optional<T> wait(std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex_);
        done_.wait_for(lock, timeout, [&] { return value_.has_value(); });
        return value_;
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    std::optional<T> value_;
};

// Starts a capture of display 1 delivering into `collector` and waits for the start.
std::unique_ptr<platform::CaptureStream> startStream(const platform::StreamConfiguration& configuration,
                                                     SampleCollector& collector,
                                                     platform::StreamStopHandler didStop = {},
                                                     uint32_t displayID = 1);
platform::StreamConfiguration configuration(int width, int height, int fps, bool showsCursor = false,
                                            int queueDepth = 4);
// Stops a stream and waits for the completion.
void stopStream(platform::CaptureStream& stream);

}  // namespace linuxtest
