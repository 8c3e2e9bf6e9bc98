// The displays the backend offers: RandR monitors in the server's order, their
// bounds, and the errors when no X server answers.

#include <cstdlib>

#include "platform/cursor.h"
#include "tests/linux/x_fixture.h"

namespace linuxtest {
namespace {

struct ContentResult {
    std::optional<platform::ShareableContent> content;
    std::optional<platform::Error> error;
};

ContentResult shareableContent() {
    Completion<ContentResult> done;
    platform::getShareableContent(false, false,
                                  [&](std::optional<platform::ShareableContent> content,
                                      std::optional<platform::Error> error) {
                                      done.set({std::move(content), std::move(error)});
                                  });
    auto result = done.wait();
    EXPECT_TRUE(result.has_value()) << "getShareableContent never completed";
    return result ? *result : ContentResult{};
}

using DisplaysTest = XServerTest;

TEST_F(DisplaysTest, TheScreenIsDisplayOneWithItsPixelSize) {
    auto result = shareableContent();
    ASSERT_FALSE(result.error) << result.error->description;
    ASSERT_TRUE(result.content);
    ASSERT_EQ(result.content->displays.size(), 1u);
    EXPECT_EQ(result.content->displays[0].displayID, 1u);
    EXPECT_EQ(result.content->displays[0].width, 1920);
    EXPECT_EQ(result.content->displays[0].height, 1080);

    EXPECT_TRUE(platform::preflightScreenCaptureAccess());
    const platform::Rect bounds = platform::displayBounds(1);
    EXPECT_EQ(bounds.width, 1920);
    EXPECT_EQ(bounds.height, 1080);
    const platform::Rect unknown = platform::displayBounds(7);
    EXPECT_EQ(unknown.width, 0);
    EXPECT_EQ(unknown.height, 0);
}

TEST_F(DisplaysTest, AnAddedMonitorBecomesDisplayTwo) {
    // The server lists the primary monitor first, then the others; without a primary,
    // the added monitor would come first.
    ASSERT_EQ(run({"xrandr", "--output", "screen", "--primary"}), 0);
    ASSERT_EQ(run({"xrandr", "--setmonitor", "right", "640/170x480/127+1280+600", "none"}), 0);
    auto result = shareableContent();
    ASSERT_TRUE(result.content);
    ASSERT_EQ(result.content->displays.size(), 2u);
    EXPECT_EQ(result.content->displays[0].displayID, 1u);
    EXPECT_EQ(result.content->displays[0].width, 1920);
    EXPECT_EQ(result.content->displays[1].displayID, 2u);
    EXPECT_EQ(result.content->displays[1].width, 640);
    EXPECT_EQ(result.content->displays[1].height, 480);

    const platform::Rect bounds = platform::displayBounds(2);
    EXPECT_EQ(bounds.x, 1280);
    EXPECT_EQ(bounds.y, 600);
    EXPECT_EQ(bounds.width, 640);
    EXPECT_EQ(bounds.height, 480);
}

TEST_F(DisplaysTest, TheMainDisplayIsThePrimaryMonitor) {
    // No primary monitor: the first display.
    EXPECT_EQ(platform::mainDisplayID(), 1u);
    // An added monitor made primary ('*' before its name) is the main display: the
    // one with its size, not the screen's.
    ASSERT_EQ(run({"xrandr", "--setmonitor", "*right", "640/170x480/127+1280+600", "none"}), 0);
    auto result = shareableContent();
    ASSERT_TRUE(result.content);
    const uint32_t main = platform::mainDisplayID();
    auto it = std::find_if(result.content->displays.begin(), result.content->displays.end(),
                           [main](const platform::Display& d) { return d.displayID == main; });
    ASSERT_NE(it, result.content->displays.end());
    EXPECT_EQ(it->width, 640);
    EXPECT_EQ(it->height, 480);
}

TEST(DisplaysWithoutServer, AreRefusedWithASpanishReason) {
    const char* previous = std::getenv("DISPLAY");
    const std::string saved = previous ? previous : "";
    // A display number no test server uses: nothing listens there.
    setenv("DISPLAY", ":64999", 1);
    auto result = shareableContent();
    const bool preflight = platform::preflightScreenCaptureAccess();
    setenv("DISPLAY", saved.c_str(), 1);

    EXPECT_FALSE(result.content);
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->description.rfind("No se pudo abrir la pantalla X11", 0), 0u)
        << result.error->description;
    EXPECT_FALSE(preflight);
}

}  // namespace
}  // namespace linuxtest
