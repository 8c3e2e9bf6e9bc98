// A resolution change that lands between the capture's look at the geometry and its
// grab: the stream neither stops on the refused grab nor delivers the picture of the
// old geometry. The test holds the server (a server grab) while the capture's next
// request waits, changes the screen meanwhile, then lets it go: the waiting request
// meets the new geometry.

#include <xcb/randr.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>

#include "platform/media.h"
#include "tests/linux/x_fixture.h"

namespace linuxtest {
namespace {

// The screen is green left of x=1280 and red beyond: a frame of the whole 1920-pixel
// screen is red in its right sixth, a frame of the 1280-pixel screen is all green.
enum class Geometry { wide, narrow, neither };

Geometry geometryOf(const platform::PixelBuffer& frame) {
    const int x = frame.width * 11 / 12, y = frame.height / 4;
    const uint8_t cr = frame.chroma[static_cast<size_t>(y / 2) * frame.chromaStride + (x / 2) * 2 + 1];
    if (std::abs(cr - expectedVideoRange601({255, 0, 0}).cr) < 8) return Geometry::wide;
    if (std::abs(cr - expectedVideoRange601({0, 255, 0}).cr) < 8) return Geometry::narrow;
    return Geometry::neither;
}

class ScreenChangeTest : public XServerTest {
protected:
    // What xrandr --fb WxH --output screen --mode WxH does, on this test's connection
    // (other clients wait while it holds the server): the CRTC off, the screen resized,
    // the CRTC on in the mode of that size.
    void setScreen(int width, int height) {
        xcb_connection_t* c = client();
        auto* resources =
            xcb_randr_get_screen_resources_current_reply(c, xcb_randr_get_screen_resources_current(c, root()), nullptr);
        ASSERT_TRUE(resources);
        const xcb_randr_crtc_t crtc = xcb_randr_get_screen_resources_current_crtcs(resources)[0];
        xcb_randr_output_t output = xcb_randr_get_screen_resources_current_outputs(resources)[0];
        const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(resources);
        xcb_randr_mode_t mode = XCB_NONE;
        for (int i = 0; i < xcb_randr_get_screen_resources_current_modes_length(resources); ++i)
            if (modes[i].width == width && modes[i].height == height) mode = modes[i].id;
        const xcb_timestamp_t config = resources->config_timestamp;
        free(resources);
        ASSERT_NE(mode, XCB_NONE) << "no mode " << width << "x" << height;
        free(
            xcb_randr_set_crtc_config_reply(c,
                                            xcb_randr_set_crtc_config(c, crtc, XCB_CURRENT_TIME, config, 0, 0, XCB_NONE,
                                                                      XCB_RANDR_ROTATION_ROTATE_0, 0, nullptr),
                                            nullptr));
        xcb_randr_set_screen_size(c, root(), static_cast<uint16_t>(width), static_cast<uint16_t>(height),
                                  static_cast<uint32_t>(width * 254 / 960), static_cast<uint32_t>(height * 254 / 960));
        auto* on =
            xcb_randr_set_crtc_config_reply(c,
                                            xcb_randr_set_crtc_config(c, crtc, XCB_CURRENT_TIME, config, 0, 0, mode,
                                                                      XCB_RANDR_ROTATION_ROTATE_0, 1, &output),
                                            nullptr);
        ASSERT_TRUE(on && on->status == XCB_RANDR_SET_CONFIG_SUCCESS);
        free(on);
    }
};

TEST_F(ScreenChangeTest, ChangeBetweenTheLookAndTheGrabIsFollowed) {
    // Xvfb offers one mode, its start size (also its largest): a smaller one is added.
    ASSERT_EQ(run({"xrandr", "--newmode", "1280x720", "0", "1280", "0", "0", "0", "720", "0", "0", "0"}), 0);
    ASSERT_EQ(run({"xrandr", "--addmode", "screen", "1280x720"}), 0);
    free(xcb_randr_query_version_reply(client(), xcb_randr_query_version(client(), 1, 5), nullptr));
    // The picture is the root's background, so that the server paints it again
    // wherever a resize uncovers or repaints the screen.
    const xcb_pixmap_t picture = xcb_generate_id(client());
    xcb_create_pixmap(client(), 24, picture, root(), 1920, 1080);
    for (auto [x, width, pixel] : {std::tuple{0, 1280, 0x00ff00u}, std::tuple{1280, 640, 0xff0000u}}) {
        xcb_change_gc(client(), gc_, XCB_GC_FOREGROUND, &pixel);
        const xcb_rectangle_t part{static_cast<int16_t>(x), 0, static_cast<uint16_t>(width), 1080};
        xcb_poly_fill_rectangle(client(), picture, gc_, 1, &part);
    }
    xcb_change_window_attributes(client(), root(), XCB_CW_BACK_PIXMAP, &picture);
    xcb_clear_area(client(), 0, root(), 0, 0, 0, 0);
    sync();

    SampleCollector collector(SampleCollector::Images::keep);
    std::mutex mutex;
    std::optional<std::string> stoppedBecause;  // the stream stopped by itself, and why
    auto stop = [&] {
        std::scoped_lock lock(mutex);
        return stoppedBecause.value_or("");
    };
    auto stream = startStream(configuration(960, 540, 60, false, 8), collector, [&](const platform::Error& error) {
        std::scoped_lock lock(mutex);
        stoppedBecause = error.description;
    });
    ASSERT_TRUE(collector.waitFor([](auto& s) { return !s.empty() && isComplete(*s.front()); }, 5s));

    struct Step {
        int width, height;
        Geometry geometry;
    };
    // Shrunk, the grab of the old rectangle is refused; grown, it would succeed and
    // show the old part of the screen.
    for (const Step step : {Step{1280, 720, Geometry::narrow}, Step{1920, 1080, Geometry::wide}}) {
        SCOPED_TRACE(step.width);
        xcb_grab_server(client());
        // A change of the screen makes the capture grab at once; its request waits for
        // the server. The hold only makes that overlap likely: should the capture be
        // slower, its grab comes after the change and must be right all the same.
        fill(8, 8, 64, 64, step.geometry == Geometry::wide ? Rgb{0, 200, 0} : Rgb{0, 160, 0});
        std::this_thread::sleep_for(100ms);
        const size_t before = collector.count();
        setScreen(step.width, step.height);
        xcb_ungrab_server(client());
        sync();
        ASSERT_TRUE(collector.waitFor(
            [&](auto& s) {
                return std::any_of(s.begin() + static_cast<long>(before), s.end(),
                                   [](auto& sample) { return isComplete(*sample); });
            },
            5s))
            << "no frame after the change; stopped: " << stop();
        auto samples = collector.samples();
        auto first = std::find_if(samples.begin() + static_cast<long>(before), samples.end(),
                                  [](auto& sample) { return isComplete(*sample); });
        EXPECT_EQ((*first)->image->width, 960);
        EXPECT_EQ(geometryOf(*(*first)->image), step.geometry);
        collector.clear();
    }
    stopStream(*stream);
    EXPECT_EQ(stop(), "") << "the stream stopped by itself";
}

}  // namespace
}  // namespace linuxtest
