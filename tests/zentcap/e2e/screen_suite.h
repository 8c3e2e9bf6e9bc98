#pragma once
// Base of the streamer's end-to-end suites: one private Xvfb per suite, the
// screen under the test's control, and helpers to run moving content.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/child.h"
#include "tests/support/x_screen.h"
#include "tests/support/xvfb.h"
#include "tests/zentcap/e2e/live_stream.h"

namespace e2e {

class ScreenSuite : public ::testing::Test {
protected:
    // Starts the suite's server; call from SetUpTestSuite of the derived suite.
    static void startServer(const std::string& geometry, std::vector<std::string> extraArgs = {}) {
        server() = testsupport::Xvfb::start(geometry, std::move(extraArgs));
    }
    static void TearDownTestSuite() { server().reset(); }

    void SetUp() override {
        ASSERT_TRUE(server()) << "Xvfb did not start";
        screen = testsupport::XScreen::open(display());
        ASSERT_TRUE(screen) << "cannot open " << display();
    }

    static const std::string& display() { return server()->display(); }
    static testsupport::Xvfb& xServer() { return *server(); }

    StreamSettings settings(int width, int height, int fps, long bitrate, bool drawMouse) const {
        return {display(), width, height, fps, bitrate, drawMouse, {}};
    }

    // Moving content over the whole screen until the test ends.
    std::unique_ptr<testsupport::Child> animate(int rectsPerFrame = 0, int fps = 30) {
        return xServer().animate(rectsPerFrame, fps);
    }

    // Runs an X command-line tool against the suite's server; its exit status.
    int runX(std::vector<std::string> argv) { return xServer().run(std::move(argv)); }

    std::unique_ptr<testsupport::XScreen> screen;

private:
    static std::unique_ptr<testsupport::Xvfb>& server() {
        static std::unique_ptr<testsupport::Xvfb> instance;
        return instance;
    }
};

}  // namespace e2e
