// A stream that outlives changes of the screen, as the host sees it: a resolution
// change keeps the stream going at its size with the new picture, a monitor added or
// removed before the captured one changes nothing, and the stream ends, with its line on
// standard error and status 1, only when the captured monitor or the X server goes.
#include "tests/zentcap/e2e/picture_checks.h"
#include "tests/zentcap/e2e/screen_suite.h"

namespace e2e {
namespace {

using std::chrono::duration_cast;

// The stream ended by itself within about a second of `since`, the way the host
// learns of it: status 1 and the line that says why.
void expectEndedBecause(LiveStream& stream, Clock::time_point since, const std::string& line) {
    auto status = stream.process().waitExit(milliseconds(5000));
    auto took = duration_cast<milliseconds>(Clock::now() - since);
    EXPECT_EQ(status, 1) << stream.process().stderrText();
    // A second, and some room for a loaded machine.
    EXPECT_LE(took.count(), 1000 + 500) << "the stream took " << took.count() << " ms to end";
    EXPECT_TRUE(stream.process().waitStderr(line, milliseconds(2000))) << stream.process().stderrText();
    EXPECT_FALSE(stream.streamError()) << *stream.streamError();
}

class ResolutionChange : public ScreenSuite {
protected:
    // Xvfb's screen cannot grow beyond the size it starts with: it starts large, the
    // test shrinks it and grows it back.
    static void SetUpTestSuite() { startServer("1920x1080x24"); }
};

TEST_F(ResolutionChange, StreamKeepsItsSizeAndShowsTheResizedScreen) {
    // Xvfb offers one mode, its start size; a smaller one must be added first.
    ASSERT_EQ(runX({"xrandr", "--newmode", "1280x720", "0", "1280", "0", "0", "0", "720", "0", "0", "0"}), 0);
    ASSERT_EQ(runX({"xrandr", "--addmode", "screen", "1280x720"}), 0);
    // The root keeps this picture whatever its size: what shows after a change is the
    // part of it inside the new screen, with nothing drawn anew.
    const auto blocks = colourGrid(1920, 1080);
    screen->paintRoot({0, 0, 0}, blocks);

    auto stream = LiveStream::start(settings(1280, 720, 30, 6000000, false));
    ASSERT_TRUE(stream);
    auto image = stillPicture(*stream);
    ASSERT_EQ(image.width, 1280);
    ASSERT_EQ(image.height, 720);
    expectShows(image, blocks, {0, 0, 1920, 1080, {}}, 12);

    struct Step {
        const char* name;
        const char* size;
        Block shown;
    };
    // What display settings do: a new mode for the monitor and the screen resized to it.
    const Step steps[] = {{"shrink", "1280x720", {0, 0, 1280, 720, {}}}, {"grow", "1920x1080", {0, 0, 1920, 1080, {}}}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        const size_t from = stream->count();
        ASSERT_EQ(runX({"xrandr", "--fb", step.size, "--output", "screen", "--mode", step.size}), 0);
        image = stillPicture(*stream, from);
        ASSERT_EQ(image.width, 1280);
        ASSERT_EQ(image.height, 720);
        expectShows(image, blocks, step.shown, 12);
    }

    stream->process().closeStdin();
    EXPECT_EQ(stream->process().waitExit(milliseconds(5000)), 0) << stream->process().stderrText();
    // Rising timestamps and well-formed packets throughout.
    EXPECT_FALSE(stream->streamError()) << *stream->streamError();
}

class MonitorAdded : public ScreenSuite {
protected:
    static void SetUpTestSuite() { startServer("1280x720x24"); }
};

TEST_F(MonitorAdded, OrRemovedBeforeTheCapturedOneTheSameMonitorKeepsComing) {
    auto blocks = colourGrid(1280, 720);
    screen->paintRoot({0, 0, 0}, blocks);
    auto stream = LiveStream::start(settings(1280, 720, 30, 6000000, false));
    ASSERT_TRUE(stream);
    expectShows(stillPicture(*stream), blocks, {0, 0, 1280, 720, {}}, 12);

    // Without a primary monitor the server lists an added one first: display 1 becomes
    // the left half while it is there, and the stream must stay on the screen it started with.
    const std::vector<std::string> steps[] = {{"xrandr", "--setmonitor", "left", "640/169x720/190+0+0", "none"},
                                              {"xrandr", "--delmonitor", "left"}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step[1]);
        const size_t from = stream->count();
        ASSERT_EQ(runX(step), 0);
        // New content (the grid turned upside down) shows that frames still come, and
        // from where.
        for (auto& block : blocks) block.y = 360 - block.y;
        screen->paintRoot({0, 0, 0}, blocks);
        auto image = stillPicture(*stream, from);
        ASSERT_EQ(image.width, 1280);
        expectShows(image, blocks, {0, 0, 1280, 720, {}}, 12);
    }
}

class MonitorGone : public ScreenSuite {
protected:
    static void SetUpTestSuite() { startServer("1280x720x24"); }
};

TEST_F(MonitorGone, StreamEndsWithinASecondSayingSo) {
    struct Case {
        const char* name;
        uint32_t displayID;
        std::vector<std::string> add, remove, restore;
    };
    const Case cases[] = {
        // Unplugged: the output loses its CRTC, and RandR tells.
        {"output off",
         1,
         {},
         {"xrandr", "--output", "screen", "--off", "--fb", "1280x720"},
         {"xrandr", "--output", "screen", "--auto"}},
        // A monitor a client set up and removed, which RandR does not tell.
        {"monitor deleted",
         2,
         {"xrandr", "--setmonitor", "side", "640/169x360/95+640+360", "none"},
         {"xrandr", "--delmonitor", "side"},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Primary, the screen is listed first and an added monitor is display 2.
        ASSERT_EQ(runX({"xrandr", "--output", "screen", "--primary"}), 0);
        if (!c.add.empty()) {
            ASSERT_EQ(runX(c.add), 0);
        }
        auto wanted = settings(640, 360, 30, 1000000, false);
        wanted.displayID = c.displayID;
        auto stream = LiveStream::start(wanted);
        ASSERT_TRUE(stream);
        ASSERT_TRUE(stream->waitForVideo(milliseconds(10000))) << stream->process().stderrText();
        auto removed = Clock::now();
        ASSERT_EQ(runX(c.remove), 0);
        expectEndedBecause(
            *stream, removed,
            "Captura interrumpida: La pantalla " + std::to_string(c.displayID) + " se ha desconectado\n");
        if (!c.restore.empty()) {
            ASSERT_EQ(runX(c.restore), 0);
        }
    }
}

class ServerGone : public ScreenSuite {
protected:
    static void SetUpTestSuite() { startServer("1280x720x24"); }
};

TEST_F(ServerGone, StreamEndsWithinASecondSayingSo) {
    auto stream = LiveStream::start(settings(1280, 720, 30, 4000000, false));
    ASSERT_TRUE(stream);
    ASSERT_TRUE(stream->waitForVideo(milliseconds(10000))) << stream->process().stderrText();
    // Xlib ends a process whose server went away: the test's own connection goes first.
    screen.reset();
    auto killed = Clock::now();
    xServer().kill();
    expectEndedBecause(*stream, killed, "Captura interrumpida: Se perdió la conexión con X11");
}

}  // namespace
}  // namespace e2e
