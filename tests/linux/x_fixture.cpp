#include "tests/linux/x_fixture.h"

#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "platform/dispatch.h"

namespace linuxtest {

namespace {

bool xvfbInstalled() {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "");
    for (std::string folder; std::getline(folders, folder, ':');)
        if (!folder.empty() && access((folder + "/Xvfb").c_str(), X_OK) == 0) return true;
    return false;
}

}  // namespace

Yuv expectedVideoRange601(Rgb c) {
    const double r = c.r / 255.0, g = c.g / 255.0, b = c.b / 255.0;
    return {16 + 65.481 * r + 128.553 * g + 24.966 * b, 128 - 37.797 * r - 74.203 * g + 112.0 * b,
            128 + 112.0 * r - 93.786 * g - 18.214 * b};
}

void XServerTest::SetUp() {
    if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
    startServer();
}

void XServerTest::startServer(const std::string& geometry) {
    TearDown();
    server_ = testsupport::Xvfb::start(geometry);
    ASSERT_TRUE(server_) << "Xvfb did not start";
    setenv("DISPLAY", server_->display().c_str(), 1);
    client_ = xcb_connect(server_->display().c_str(), nullptr);
    ASSERT_EQ(xcb_connection_has_error(client_), 0);
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(client_)).data;
    root_ = screen->root;
    gc_ = xcb_generate_id(client_);
    xcb_create_gc(client_, gc_, root_, 0, nullptr);
    sync();
}

void XServerTest::TearDown() {
    if (client_) xcb_disconnect(client_);
    client_ = nullptr;
    server_.reset();
}

void XServerTest::fill(int x, int y, int width, int height, Rgb colour) {
    // Depth 24 TrueColor: the pixel value is 0xRRGGBB.
    const uint32_t pixel = (uint32_t{colour.r} << 16) | (uint32_t{colour.g} << 8) | colour.b;
    xcb_change_gc(client_, gc_, XCB_GC_FOREGROUND, &pixel);
    const xcb_rectangle_t rectangle{static_cast<int16_t>(x), static_cast<int16_t>(y), static_cast<uint16_t>(width),
                                    static_cast<uint16_t>(height)};
    xcb_poly_fill_rectangle(client_, root_, gc_, 1, &rectangle);
    sync();
}

void XServerTest::warpPointer(int x, int y) {
    xcb_warp_pointer(client_, XCB_NONE, root_, 0, 0, 0, 0, static_cast<int16_t>(x), static_cast<int16_t>(y));
    sync();
}

void XServerTest::setColouredCursor() {
    xcb_font_t font = xcb_generate_id(client_);
    xcb_open_font(client_, font, 6, "cursor");
    xcb_cursor_t cursor = xcb_generate_id(client_);
    constexpr uint16_t kCrosshair = 34;
    xcb_create_glyph_cursor(client_, cursor, font, font, kCrosshair, kCrosshair + 1, 65535, 0, 0, 0, 0, 65535);
    const uint32_t value = cursor;
    xcb_change_window_attributes(client_, root_, XCB_CW_CURSOR, &value);
    sync();
}

void XServerTest::sync() {
    free(xcb_get_input_focus_reply(client_, xcb_get_input_focus(client_), nullptr));
}

int XServerTest::run(std::vector<std::string> argv) { return server_->run(std::move(argv)); }

platform::ScreenSampleHandler SampleCollector::handler() {
    return [this](std::shared_ptr<const platform::VideoSample> sample, platform::StreamOutputType type) {
        if (type != platform::StreamOutputType::screen) return;
        if (images_ == Images::release) {
            auto copy = std::make_shared<platform::VideoSample>(*sample);
            copy->image.reset();
            sample = std::move(copy);
        }
        std::scoped_lock lock(mutex_);
        samples_.push_back(std::move(sample));
        changed_.notify_all();
    };
}

bool SampleCollector::waitFor(
    const std::function<bool(const std::vector<std::shared_ptr<const platform::VideoSample>>&)>& done,
    std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(samples_); });
}

std::vector<std::shared_ptr<const platform::VideoSample>> SampleCollector::samples() {
    std::scoped_lock lock(mutex_);
    return samples_;
}

size_t SampleCollector::count() {
    std::scoped_lock lock(mutex_);
    return samples_.size();
}

void SampleCollector::clear() {
    std::scoped_lock lock(mutex_);
    samples_.clear();
}

bool isComplete(const platform::VideoSample& sample) {
    auto* status = sample.frameStatus ? std::get_if<int64_t>(&*sample.frameStatus) : nullptr;
    return status && *status == static_cast<int64_t>(platform::FrameStatus::complete);
}

bool isIdle(const platform::VideoSample& sample) {
    auto* status = sample.frameStatus ? std::get_if<int64_t>(&*sample.frameStatus) : nullptr;
    return status && *status == static_cast<int64_t>(platform::FrameStatus::idle) && !sample.image;
}

platform::StreamConfiguration configuration(int width, int height, int fps, bool showsCursor, int queueDepth) {
    platform::StreamConfiguration c;
    c.width = width;
    c.height = height;
    c.minimumFrameInterval = {1, fps};
    c.queueDepth = queueDepth;
    c.showsCursor = showsCursor;
    return c;
}

std::unique_ptr<platform::CaptureStream> startStream(const platform::StreamConfiguration& configuration,
                                                     SampleCollector& collector,
                                                     platform::StreamStopHandler didStop, uint32_t displayID) {
    platform::ContentFilter filter;
    filter.display.displayID = displayID;
    auto stream = platform::createCaptureStream(filter, configuration,
                                                didStop ? std::move(didStop) : [](const platform::Error&) {});
    EXPECT_FALSE(stream->addStreamOutput(platform::StreamOutputType::screen,
                                         platform::dispatch::Queue::serial("test.capture"), collector.handler()));
    Completion<std::optional<platform::Error>> started;
    stream->startCapture([&](std::optional<platform::Error> error) { started.set(std::move(error)); });
    auto result = started.wait();
    EXPECT_TRUE(result.has_value()) << "start did not complete";
    if (result && *result) ADD_FAILURE() << "start failed: " << (*result)->description;
    return stream;
}

void stopStream(platform::CaptureStream& stream) {
    Completion<bool> stopped;
    stream.stopCapture([&](std::optional<platform::Error>) { stopped.set(true); });
    EXPECT_TRUE(stopped.wait()) << "stop did not complete";
}

}  // namespace linuxtest
