// The screenshot on a headless sway desktop, taken by a host that runs as the desktop's user.
#include <gtest/gtest.h>

#include "../ScreenJpeg.h"
#include "DesktopHost.h"
#include "SwayDesktop.h"

namespace ovra::e2e {
namespace {

std::vector<std::string> waylandHostEnv(const SwayDesktop& desktop) {
    auto env = desktop.clientEnv();
    env.insert(env.end(), {"DISPLAY=", "OVRA_SCREEN_ROUTE="});
    return env;
}

TEST(ScreenCopyOnSway, CompositorFrozenOrGoneFailsTheCallAndIsUsedAgain) {
    SwayDesktop desktop(1280, 800);
    ASSERT_TRUE(desktop.ready());
    ASSERT_TRUE(desktop.showPicture({200, 0, 0}, {}));
    DesktopHost host(waylandHostEnv(desktop));
    test::expectColorAt(host.capture(), 640, 400, {200, 0, 0});

    desktop.freeze(true);
    const auto start = std::chrono::steady_clock::now();
    const test::Shot hung = host.capture();
    const auto waited = std::chrono::steady_clock::now() - start;
    desktop.freeze(false);
    test::expectFailure(hung,
                        "Error: Wayland screen-copy: no answer from the compositor within 5 s\n");
    // One wait, not one per connection tried; the bound is what is checked, not the speed.
    EXPECT_LT(waited, std::chrono::seconds(9));
    test::expectColorAt(host.capture(), 640, 400, {200, 0, 0});

    const std::string socket = desktop.waylandDisplay();
    desktop.stop();
    test::expectFailure(host.capture(), "Error: Wayland screen-copy: ");
    ASSERT_TRUE(desktop.start());
    ASSERT_EQ(desktop.waylandDisplay(), socket);
    ASSERT_TRUE(desktop.showPicture({0, 0, 200}, {}));
    test::expectColorAt(host.capture(), 640, 400, {0, 0, 200});
}

// On a display whose reduction truncates and whose rows are no multiple of 64 bytes; never
// XWayland's black root window as success. Without libwayland-client the library still loads.
TEST(ScreenOnSway, TruePictureOrALineSayingWhy) {
    SwayDesktop desktop(2940, 1912, true);
    ASSERT_TRUE(desktop.ready());
    ASSERT_TRUE(desktop.showPicture({40, 40, 40}, test::blocksWithStrokes(2940, 1912)));
    const std::string xDisplay = desktop.xDisplay();
    ASSERT_FALSE(xDisplay.empty());

    struct Case {
        const char* name;
        std::vector<std::string> env;
        std::string why;     // how the failure's first line begins; empty: the true picture
        std::string hidden;  // a library the host does without
    };
    const std::string noCompositor = desktop.runtimeDir() + "/none";
    auto withX = waylandHostEnv(desktop), screenCopy = waylandHostEnv(desktop);
    withX.push_back("DISPLAY=" + xDisplay);
    screenCopy.push_back("OVRA_SCREEN_ROUTE=screencopy");
    const Case cases[] = {
        {"Wayland session", waylandHostEnv(desktop), "", ""},
        {"Wayland session with XWayland", withX, "", ""},
        // No screen-copy, so the portal is tried, and there is none here.
        {"XWayland alone",
         {"DISPLAY=" + xDisplay, "WAYLAND_DISPLAY=", "XDG_RUNTIME_DIR=" + noCompositor,
          "OVRA_SCREEN_ROUTE="},
         "Error: ",
         ""},
        {"XWayland with the X11 route forced",
         {"DISPLAY=" + xDisplay, "OVRA_SCREEN_ROUTE=x11", "XDG_RUNTIME_DIR=" + noCompositor},
         "Error: the X server is XWayland, whose root window does not show the Wayland desktop\n",
         ""},
        {"screen-copy without libwayland-client", screenCopy,
         "Error: Wayland screen-copy: ", "libwayland-client.so.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const test::Shot shot = DesktopHost(c.env, c.hidden).capture();
        if (shot.result == -2) GTEST_SKIP() << "no mount namespace here to hide the library in";
        if (c.why.empty()) {
            test::expectStrokedPicture(shot, 2940, 1912, 1919, 1248);
            continue;
        }
        test::expectFailure(shot, c.why);
        EXPECT_TRUE(c.hidden.empty() || shot.log.find(c.hidden) != std::string::npos) << shot.log;
    }
}

}  // namespace
}  // namespace ovra::e2e
