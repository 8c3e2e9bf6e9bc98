// How a zentcap process ends, as the host sees it: the exit status and the one
// line on standard error for each way a stream can end or fail to start.
#include <signal.h>
#include <sys/stat.h>

#include "tests/support/child.h"
#include "tests/zentcap/e2e/screen_suite.h"

namespace e2e {
namespace {

using testsupport::Input;
using testsupport::runToEnd;

const std::string kUsage = "Uso: zentcap displayID width height fps bitrate drawMouse(0|1)\n";
const std::string kRangeError = "invalid(\"fps o bitrate fuera de rango\")\n";
const std::string kRange = "Parámetros inválidos: " + kRangeError;

class Lifecycle : public ScreenSuite {
protected:
    static void SetUpTestSuite() { startServer("1280x720x24"); }
};

TEST_F(Lifecycle, HostEndsTheStreamWithStatusZeroWithinTwoSeconds) {
    struct Ending {
        const char* name;
        std::function<void(LiveStream&)> end;
    };
    const Ending endings[] = {
        {"stdin closed", [](LiveStream& s) { s.process().closeStdin(); }},
        {"SIGTERM", [](LiveStream& s) { s.process().signal(SIGTERM); }},
        {"SIGINT", [](LiveStream& s) { s.process().signal(SIGINT); }},
        {"SIGINT twice", [](LiveStream& s) { s.process().signal(SIGINT); s.process().signal(SIGINT); }},
    };
    auto animator = animate();
    ASSERT_TRUE(animator);
    for (const auto& ending : endings) {
        SCOPED_TRACE(ending.name);
        auto stream = LiveStream::start(settings(1280, 720, 30, 4000000, false));
        ASSERT_TRUE(stream);
        // Ended while frames are flowing.
        auto first = stream->waitForVideo(milliseconds(10000));
        ASSERT_TRUE(first) << stream->process().stderrText();
        ASSERT_TRUE(stream->waitForVideo(milliseconds(5000), first->packet.index + 1));
        auto asked = Clock::now();
        ending.end(*stream);
        auto status = stream->process().waitExit(milliseconds(2000) + testsupport::scaled(milliseconds(500)));
        auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - asked);
        EXPECT_EQ(status, 0) << stream->process().stderrText();
        EXPECT_LE(took, milliseconds(2000) + testsupport::scaled(milliseconds(250)))
            << "exit took " << took.count() << " ms";
        EXPECT_FALSE(stream->streamError()) << *stream->streamError();
        // Nothing but the start notices on standard error.
        auto err = stream->process().stderrText();
        EXPECT_EQ(err.find("Captura interrumpida"), std::string::npos) << err;
        EXPECT_EQ(err.find("Salida H.264"), std::string::npos) << err;
    }
}

// Standard error is a full pipe in blocking mode that nobody reads: diagnostics are
// dropped after a bounded wait, the stream flows, and SIGTERM still ends it in time.
TEST_F(Lifecycle, HostThatStopsDrainingStandardErrorStillGetsTheStreamAndItsEnd) {
    auto animator = animate();
    ASSERT_TRUE(animator);
    auto wanted = settings(1280, 720, 30, 4000000, false);
    wanted.stalled.stderrFull = true;
    auto stream = LiveStream::start(wanted);
    ASSERT_TRUE(stream);
    auto first = stream->waitForVideo(milliseconds(10000));
    ASSERT_TRUE(first) << "the start notices held up the stream";
    ASSERT_TRUE(stream->waitForVideo(milliseconds(5000), first->packet.index + 1));
    auto asked = Clock::now();
    stream->process().signal(SIGTERM);
    auto status = stream->process().waitExit(milliseconds(2000) + testsupport::scaled(milliseconds(500)));
    auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - asked);
    EXPECT_EQ(status, 0);
    EXPECT_LE(took, milliseconds(2000) + testsupport::scaled(milliseconds(250)))
        << "exit took " << took.count() << " ms";
}

TEST_F(Lifecycle, ReaderThatGoesAwayEndsTheStreamWithStatusOne) {
    auto child = testsupport::Child::spawn(
        {testsupport::binary("zentcap"), "1", "1280", "720", "30", "4000000", "0"}, {{"DISPLAY", display()}});
    ASSERT_TRUE(child);
    ASSERT_TRUE(child->readStdout(13, milliseconds(10000))) << child->stderrText();
    child->closeStdout();
    // A key request makes the streamer write even on a still screen.
    child->writeStdin("{\"clave\":true}\n");
    auto status = child->waitExit(milliseconds(5000));
    EXPECT_EQ(status, 1) << child->stderrText();
    EXPECT_TRUE(child->waitStderr("Salida H.264: invalid(\"Se cerró la salida de vídeo (errno 32)\")\n",
                                  milliseconds(5000)))
        << child->stderrText();
}

TEST_F(Lifecycle, UnknownDisplayIsReported) {
    auto run = runToEnd({testsupport::binary("zentcap"), "7", "1280", "720", "30", "4000000", "0"}, "",
                        {{"DISPLAY", display()}}, milliseconds(10000), Input::KeepOpen);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Inicio de captura: invalid(\"No existe la pantalla 7\")\n"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "") << "packets without a display";
}

TEST_F(Lifecycle, BadCommandEndsTheStreamWithStatusOne) {
    struct Case {
        std::string line, message;
    };
    const Case cases[] = {{R"({"fps":30})", "Orden de calidad: invalid(\"Orden desconocida\")\n"},
                          {R"({"fps":121,"bitrate":1000000})", "Orden de calidad: " + kRangeError}};
    for (const auto& c : cases) {
        auto stream = LiveStream::start(settings(640, 360, 30, 1000000, false));
        ASSERT_TRUE(stream);
        ASSERT_TRUE(stream->waitForVideo(milliseconds(10000))) << stream->process().stderrText();
        ASSERT_TRUE(stream->send(c.line));
        EXPECT_EQ(stream->process().waitExit(milliseconds(5000)), 1) << c.line;
        EXPECT_TRUE(stream->process().waitStderr(c.message, milliseconds(5000)))
            << c.line << ": " << stream->process().stderrText();
    }
}

TEST_F(Lifecycle, PermissionQueryAnswersOneWithAServer) {
    auto run = runToEnd({testsupport::binary("zentcap"), "--permiso"}, "", {{"DISPLAY", display()}},
                        milliseconds(10000));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "1\n");
}

// A display number nobody serves (no socket, no lock file).
std::string unservedDisplay() {
    for (int number = 917;; ++number) {
        struct stat info;
        std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
        std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
        if (::stat(socket.c_str(), &info) != 0 && ::stat(lock.c_str(), &info) != 0) return ":" + std::to_string(number);
    }
}

TEST(LifecycleWithoutServer, NoXServerIsReported) {
    auto run = runToEnd({testsupport::binary("zentcap"), "1", "1280", "720", "30", "4000000", "0"}, "",
                        {{"DISPLAY", unservedDisplay()}}, milliseconds(10000), Input::KeepOpen);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("ScreenCaptureKit: ", 0), 0u) << run.err;
    EXPECT_EQ(run.out, "");

    auto permission = runToEnd({testsupport::binary("zentcap"), "--permiso"}, "", {{"DISPLAY", unservedDisplay()}},
                               milliseconds(10000));
    EXPECT_EQ(permission.status, 0);
    EXPECT_EQ(permission.out, "0\n");
}

TEST(LifecycleWithoutServer, CommandLineMisuseGivesTheUsageText) {
    struct Case {
        std::vector<std::string> args;
        const std::string& text;
    };
    const Case cases[] = {
        {{}, kUsage},
        {{"1", "1280", "720", "30", "4000000"}, kUsage},
        {{"1", "1280", "720", "30", "4000000", "0", "x"}, kUsage},
        {{"--permiso", "1"}, kUsage},
        {{"1", "1281", "720", "30", "4000000", "0"}, kUsage},
        {{"1", "8193", "720", "30", "4000000", "0"}, kUsage},
        {{"1", "0", "720", "30", "4000000", "0"}, kUsage},
        {{"1", "1280", "720", "30", "4000000", "2"}, kUsage},
        {{"1", "1280", "720", "30", "4000000", "01"}, kUsage},
        {{"1", "1280", "720", "30", "4000000", "true"}, kUsage},
        {{"4294967296", "1280", "720", "30", "4000000", "0"}, kUsage},
        {{" 1", "1280", "720", "30", "4000000", "0"}, kUsage},
        {{"1", "1280", "720 ", "30", "4000000", "0"}, kUsage},
        {{"1", "1281", "720", "0", "4000000", "0"}, kUsage},  // usage checks come first
        {{"1", "1280", "720", "0", "4000000", "0"}, kRange},
        {{"1", "1280", "720", "121", "4000000", "0"}, kRange},
        {{"1", "1280", "720", "30", "99999", "0"}, kRange},
        {{"1", "1280", "720", "30", "150000001", "0"}, kRange},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{testsupport::binary("zentcap")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string shown;
        for (const auto& arg : c.args) shown += "[" + arg + "]";
        // No X server needed: the command line is checked before anything else.
        auto run = runToEnd(argv, "", {{"DISPLAY", unservedDisplay()}}, milliseconds(10000));
        EXPECT_EQ(run.status, 2) << shown;
        EXPECT_EQ(run.err, c.text) << shown;
        EXPECT_EQ(run.out, "") << shown;
    }
}

}  // namespace
}  // namespace e2e
