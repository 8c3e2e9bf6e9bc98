// The streamer on a GNOME desktop (headless mutter, the stock GNOME portal backend),
// run as a host runs it while a "user" answers the desktop's Screen Share dialog: a
// cancelled dialog ends the capture with the reason and status 1; once shared, the
// stream flows, the pointer comes as cursor packets from the portal's cursor
// metadata, the restore token is kept for the owner only, and the next capture starts
// without asking. mutter draws in software here (about a core at 17 to 27 frames a
// second), so the scenarios are few and short.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "tests/support/consent_answerer.h"
#include "tests/support/gnome_desktop.h"
#include "tests/zentcap/e2e/live_stream.h"
#include "tests/support/child.h"
#include "tests/support/temp_dir.h"
#include "tools/zentcap_receiver/packet_parser.h"

namespace e2e {
namespace {

using testsupport::readFile;
using testsupport::runToEnd;
using testsupport::TempDir;

using testsupport::Consent;
using testsupport::GnomeDesktop;
using testsupport::scaled;

long long millisecondsSince(Clock::time_point start, Clock::time_point end) {
    return static_cast<long long>(std::chrono::duration_cast<milliseconds>(end - start).count());
}

class GnomeCapture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        desktop() = GnomeDesktop::start();
        if (desktop()) answerer() = testsupport::ConsentAnswerer::open(*desktop());
    }
    static void TearDownTestSuite() {
        answerer().reset();
        desktop().reset();
    }
    void SetUp() override {
        ASSERT_TRUE(desktop()) << "the GNOME desktop did not start";
        ASSERT_TRUE(answerer()) << "mutter's remote desktop session did not start";
    }

    static std::unique_ptr<GnomeDesktop>& desktop() {
        static std::unique_ptr<GnomeDesktop> instance;
        return instance;
    }
    static std::unique_ptr<testsupport::ConsentAnswerer>& answerer() {
        static std::unique_ptr<testsupport::ConsentAnswerer> instance;
        return instance;
    }

    static StreamSettings settings(int width, int height, bool drawMouse) {
        return StreamSettings::inSession(desktop()->environment(), width, height, drawMouse);
    }
};

TEST_F(GnomeCapture, ACancelledDialogEndsTheCaptureWithTheReasonAndStatus1) {
    // A state folder of its own: no token from another test spares the dialog.
    TempDir state;
    auto s = settings(640, 360, true);
    s.environment["XDG_STATE_HOME"] = state.file("state");
    auto stream = LiveStream::start(s);
    ASSERT_TRUE(stream);
    ASSERT_TRUE(answerer()->answer(Consent::cancel, scaled(milliseconds(60000)))) << stream->process().stderrText();

    EXPECT_EQ(stream->process().waitExit(scaled(milliseconds(10000))), 1) << stream->process().stderrText();
    ASSERT_TRUE(stream->process().waitStderrEnd(milliseconds(5000)));
    // Notices about the encoder may come first; the failure is the last line.
    EXPECT_TRUE(stream->process().stderrText().ends_with(
        "\nNo se pudo capturar: El usuario canceló el permiso para compartir la pantalla\n"))
        << stream->process().stderrText();
    EXPECT_EQ(stream->count(), 0u) << "packets without a capture";
    EXPECT_FALSE(std::filesystem::exists(state.file("state"))) << "a cancelled dialog left state behind";
}

TEST_F(GnomeCapture, SharedOnceStreamsThePointerApartAndTheNextCaptureDoesNotAsk) {
    const std::string tokens = desktop()->restoreTokenFile();
    std::filesystem::remove(tokens);
    auto started = Clock::now();
    auto stream = LiveStream::start(settings(1280, 720, false));
    ASSERT_TRUE(stream);
    ASSERT_TRUE(answerer()->answer(Consent::share, scaled(milliseconds(60000)))) << stream->process().stderrText();
    const auto shared = Clock::now();
    auto key = stream->waitForKey(scaled(milliseconds(20000)));
    ASSERT_TRUE(key) << stream->process().stderrText();
    std::printf("first packet %lld ms after Share (%lld ms after start, the dialog answered in between)\n",
                millisecondsSince(shared, key->at), millisecondsSince(started, key->at));
    EXPECT_TRUE(stream->process().waitStderr("captura 1280x720 H.264 High, cursor=0", milliseconds(5000)))
        << stream->process().stderrText();

    // The pointer, moved by the "user", comes apart from the pictures: the cursor
    // metadata's bitmap, within the packet's bounds and not blank.
    ASSERT_TRUE(answerer()->movePointer(400, 300));
    ASSERT_TRUE(answerer()->movePointer(420, 310));
    auto cursor = stream->waitForCursor(scaled(milliseconds(10000)));
    ASSERT_TRUE(cursor) << "no cursor packet: " << stream->process().stderrText();
    const auto parsed = zentrecv::parseCursorPayload(cursor->packet.payload);
    ASSERT_TRUE(parsed.image) << parsed.error;
    const auto& image = *parsed.image;
    EXPECT_TRUE(image.width >= 1 && image.width <= 128 && image.height >= 1 && image.height <= 128)
        << image.width << "x" << image.height;
    EXPECT_LT(image.hotX, image.width);
    EXPECT_LT(image.hotY, image.height);
    bool opaque = false;
    for (size_t i = 3; i < image.rgba.size(); i += 4) opaque = opaque || image.rgba[i] > 0;
    EXPECT_TRUE(opaque) << "a blank cursor image";

    auto decoded = decodeVideo(stream->packets());
    EXPECT_EQ(decoded.errors, 0);
    EXPECT_EQ(decoded.width, 1280);
    EXPECT_EQ(decoded.height, 720);

    // The desktop's restore token is kept for the owner only.
    struct stat info {};
    ASSERT_EQ(stat(tokens.c_str(), &info), 0) << "no token file";
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    stream->process().closeStdin();
    EXPECT_EQ(stream->process().waitExit(milliseconds(5000)), 0) << stream->process().stderrText();
    EXPECT_FALSE(stream->streamError()) << *stream->streamError();

    // The next capture of the display starts with no dialog: nobody answers, and the
    // first picture comes all the same.
    started = Clock::now();
    auto again = LiveStream::start(settings(640, 360, false));
    ASSERT_TRUE(again);
    auto first = again->waitForKey(scaled(milliseconds(20000)));
    const bool asked = answerer()->dialogShown();
    if (asked) answerer()->answer(Consent::cancel, scaled(milliseconds(30000)));  // leave the desktop usable
    ASSERT_TRUE(first) << "no picture without an answer: " << again->process().stderrText();
    EXPECT_FALSE(asked) << "the desktop asked again";
    std::printf("first packet of the second capture %lld ms after start\n", millisecondsSince(started, first->at));
    again->process().closeStdin();
    EXPECT_EQ(again->process().waitExit(milliseconds(5000)), 0) << again->process().stderrText();
}

}  // namespace
}  // namespace e2e
