// The streamer on a Wayland desktop (headless sway with the ScreenCast portal), run
// as a host runs it: the permission query, the colours at the asked size, a key frame
// on request on a still screen, the restore token kept for the next capture, an
// output resized under the stream, and the desktop ending the screen cast.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "tests/support/wayland_desktop.h"
#include "tests/zentcap/e2e/picture_checks.h"
#include "tests/support/child.h"
#include "tests/support/temp_dir.h"

namespace e2e {
namespace {

using testsupport::readFile;
using testsupport::runToEnd;
using testsupport::TempDir;

using testsupport::WaylandDesktop;

std::string hex(Rgb colour) {
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", colour.r, colour.g, colour.b);
    return text;
}

// The first picture, at or after packet `from`, whose middle shows `colour`.
std::optional<zentrecv::RgbImage> pictureShowing(LiveStream& stream, Rgb colour, size_t from, milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (!stream.waitForVideo(milliseconds(500), from)) continue;
        auto decoded = decodeVideo(stream.packets());
        if (decoded.errors == 0 && decoded.last) {
            auto image = zentrecv::toRgb(*decoded.last);
            if (colourDistance(meanColour(image, image.width / 2, image.height / 2, 8), colour) <= 12) return image;
        }
        from = stream.count();
    }
    return std::nullopt;
}

class WaylandStream : public ::testing::Test {
protected:
    static void SetUpTestSuite() { desktop() = WaylandDesktop::start(); }
    static void TearDownTestSuite() { desktop().reset(); }
    void SetUp() override { ASSERT_TRUE(desktop()) << "the Wayland desktop did not start"; }

    static std::unique_ptr<WaylandDesktop>& desktop() {
        static std::unique_ptr<WaylandDesktop> instance;
        return instance;
    }

    // Paints the screen in `colour` until a picture of the stream shows it. The
    // compositor sends nothing for a still screen, and a change made while the stream
    // is still setting up or renegotiating its buffers can be lost with them; and each
    // paint restarts swaybg, showing sway's grey for a moment, whose replacement the
    // compositor does not always send on a loaded machine. The screen then changes
    // again, by a shade within the tolerance, every second.
    static std::optional<zentrecv::RgbImage> paintUntilShown(LiveStream& stream, Rgb colour) {
        const auto deadline = Clock::now() + testsupport::scaled(milliseconds(10000));
        for (int attempt = 0; Clock::now() < deadline && !stream.ended(); ++attempt) {
            const uint8_t shade = attempt % 2 ? 4 : 0;
            const size_t mark = stream.count();
            desktop()->paint(hex({uint8_t(colour.r ^ shade), uint8_t(colour.g ^ shade), colour.b}));
            if (auto shown = pictureShowing(stream, colour, mark, milliseconds(1000))) return shown;
        }
        ADD_FAILURE() << "the screen painted " << describe(colour) << " never showed: " << stream.process().stderrText();
        return std::nullopt;
    }

    // Starts a stream, waits until it captures, and paints the screen until it shows.
    static std::unique_ptr<LiveStream> startPainted(int width, int height, bool drawMouse, Rgb colour) {
        auto stream = LiveStream::start(settings(width, height, drawMouse));
        if (!stream) return nullptr;
        const std::string started = "captura " + std::to_string(width) + "x" + std::to_string(height);
        if (!stream->process().waitStderr(started, testsupport::scaled(milliseconds(10000)))) {
            ADD_FAILURE() << "the capture did not start: " << stream->process().stderrText();
            return nullptr;
        }
        if (!paintUntilShown(*stream, colour)) return nullptr;
        return stream;
    }

    static StreamSettings settings(int width, int height, bool drawMouse) {
        return StreamSettings::inSession(desktop()->environment(), width, height, drawMouse);
    }
};

TEST_F(WaylandStream, PermissionIsTheScreenCastPortalOnTheSessionBus) {
    auto yes = runToEnd({testsupport::binary("zentcap"), "--permiso"}, {}, desktop()->environment());
    EXPECT_EQ(yes.status, 0);
    EXPECT_EQ(yes.out, "1\n") << yes.err;
    // The same session without a bus: no address and no bus socket in the runtime
    // folder.
    TempDir empty;
    auto environment = desktop()->environment();
    environment["DBUS_SESSION_BUS_ADDRESS"] = "";
    environment["XDG_RUNTIME_DIR"] = empty.file("");
    auto no = runToEnd({testsupport::binary("zentcap"), "--permiso"}, {}, environment);
    EXPECT_EQ(no.status, 0);
    EXPECT_EQ(no.out, "0\n") << no.err;
}

TEST_F(WaylandStream, ColoursAtTheAskedSizeKeyFramesOnRequestAndAKeptToken) {
    const Rgb first{200, 60, 40}, second{40, 90, 210};
    const auto started = Clock::now();
    auto stream = startPainted(640, 360, true, first);
    ASSERT_TRUE(stream);
    EXPECT_TRUE(stream->process().waitStderr("captura 640x360 H.264 High, cursor=1", milliseconds(1000)))
        << stream->process().stderrText();
    auto key = stream->waitForKey(testsupport::scaled(milliseconds(10000)));
    ASSERT_TRUE(key) << stream->process().stderrText();
    std::printf("first packet %lld ms after start\n",
                static_cast<long long>(std::chrono::duration_cast<milliseconds>(key->at - started).count()));

    auto picture = stillPicture(*stream);
    ASSERT_EQ(picture.width, 640);
    ASSERT_EQ(picture.height, 360);
    for (auto [x, y] : {std::pair{20, 20}, {320, 180}, {620, 340}}) {
        const Rgb seen = meanColour(picture, x, y, 6);
        EXPECT_LE(colourDistance(seen, first), 12) << "at " << x << "," << y << ": " << describe(seen);
    }

    // A still screen sends nothing; a key frame asked for comes at once all the same.
    const size_t mark = stream->count();
    EXPECT_FALSE(stream->waitForVideo(milliseconds(1500), mark)) << "video on a still screen";
    const auto sent = Clock::now();
    ASSERT_TRUE(stream->send(R"({"clave":true})"));
    auto answer = stream->waitForVideo(milliseconds(5000), stream->count());
    ASSERT_TRUE(answer) << "no frame after a key request on a still screen";
    EXPECT_EQ(answer->packet.kind, zentrecv::PacketKind::Key);
    EXPECT_LE(std::chrono::duration_cast<milliseconds>(answer->at - sent), testsupport::scaled(milliseconds(600)));

    // The picture follows the screen.
    EXPECT_TRUE(paintUntilShown(*stream, second));

    // The desktop's restore token is kept for the next capture, for the owner only.
    struct stat info {};
    ASSERT_EQ(stat(desktop()->restoreTokenFile().c_str(), &info), 0) << "no token file";
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_TRUE(readFile(desktop()->restoreTokenFile()).starts_with("zentori-portal-tokens 1\n1 "));

    stream->process().closeStdin();
    EXPECT_EQ(stream->process().waitExit(milliseconds(5000)), 0) << stream->process().stderrText();
    EXPECT_FALSE(stream->streamError());
}

TEST_F(WaylandStream, AnOutputResizedUnderTheStreamKeepsTheStreamSize) {
    const Rgb before{30, 160, 70}, after{220, 200, 40};
    auto stream = startPainted(1280, 720, false, before);
    ASSERT_TRUE(stream);

    ASSERT_EQ(desktop()->swaymsg({"output", WaylandDesktop::kOutput, "mode", "1280x1024@60Hz"}), 0);
    // Pictures go on after the renegotiation, at the asked size, whole: the same colour
    // in the middle and at the corners (a stride or size mix-up would shear or cut
    // them). Which colour is the compositor's business: a paint restarts swaybg, and on
    // a loaded machine sway's grey in between may be the last picture it sends.
    const size_t mark = stream->count();
    const auto deadline = Clock::now() + testsupport::scaled(milliseconds(10000));
    bool more = false;
    for (int attempt = 0; !more && Clock::now() < deadline; ++attempt) {
        desktop()->paint(hex({uint8_t(after.r ^ (attempt % 2 ? 4 : 0)), after.g, after.b}));
        more = stream->waitForVideo(milliseconds(1000), mark).has_value();
    }
    ASSERT_TRUE(more) << "no picture after the resize: " << stream->process().stderrText();
    ASSERT_TRUE(stream->waitForQuiet(milliseconds(500), testsupport::scaled(milliseconds(10000))));
    auto decoded = decodeVideo(stream->packets());
    EXPECT_EQ(decoded.errors, 0);
    ASSERT_TRUE(decoded.last);
    const auto resized = zentrecv::toRgb(*decoded.last);
    EXPECT_EQ(resized.width, 1280);
    EXPECT_EQ(resized.height, 720);
    const Rgb middle = meanColour(resized, 640, 360, 8);
    for (auto [x, y] : {std::pair{20, 20}, {1260, 20}, {20, 700}, {1260, 700}})
        EXPECT_LE(colourDistance(meanColour(resized, x, y, 6), middle), 12) << "at " << x << "," << y;
    EXPECT_FALSE(stream->ended()) << stream->process().stderrText();
    EXPECT_FALSE(stream->streamError());
    EXPECT_EQ(desktop()->swaymsg({"output", WaylandDesktop::kOutput, "mode", "1920x1080@60Hz"}), 0);
    stream->process().closeStdin();
    EXPECT_EQ(stream->process().waitExit(milliseconds(5000)), 0) << stream->process().stderrText();
}

// Last: the desktop's screen-cast side goes away (as when the user stops sharing from
// the desktop), and the stream ends as it does when an X11 monitor is unplugged.
TEST_F(WaylandStream, TheDesktopEndingTheScreenCastEndsTheStreamWithStatus1) {
    auto stream = startPainted(640, 360, true, {128, 128, 128});
    ASSERT_TRUE(stream);
    ASSERT_TRUE(stream->waitForKey(testsupport::scaled(milliseconds(10000)))) << stream->process().stderrText();
    desktop()->stopScreenCastBackend();
    EXPECT_EQ(stream->process().waitExit(testsupport::scaled(milliseconds(10000))), 1)
        << stream->process().stderrText();
    EXPECT_TRUE(stream->process().waitStderr("Captura interrumpida: ", milliseconds(1000)))
        << stream->process().stderrText();
    EXPECT_FALSE(stream->streamError());
}

}  // namespace
}  // namespace e2e
