// The screenshot on a headless sway desktop, taken by a host that runs as the desktop's user:
// the screen-copy route gives the picture on the screen at the encoded size, survives the
// compositor going away, and an XWayland server alone never passes its empty root window off as
// a screenshot.
#include <gtest/gtest.h>

#include "../ScreenJpeg.h"
#include "DesktopHost.h"
#include "SwayDesktop.h"

namespace ovra::e2e {
namespace {

using test::Rgb;

// The host's environment on this desktop: its Wayland socket, no X server, no forced route.
std::vector<std::string> waylandHostEnv(const SwayDesktop& desktop) {
    auto env = desktop.clientEnv();
    env.insert(env.end(), {"DISPLAY=", "OVRA_SCREEN_ROUTE="});
    return env;
}

// A display whose reduction truncates and whose rows are no multiple of 64 bytes.
TEST(ScreenCopyOnSway, ShownPictureComesBackAtTheEncodedSize) {
    SwayDesktop desktop(2940, 1912);
    ASSERT_TRUE(desktop.ready());
    ASSERT_TRUE(desktop.showPicture({40, 40, 40}, test::blocksWithStrokes(2940, 1912)));

    DesktopHost host(waylandHostEnv(desktop));
    test::expectStrokedPicture(host.capture(), 2940, 1912, 1919, 1248);
}

// A compositor that stops answering fails the call in bounded time, one that went away fails it
// with a line; either way a later call, once it is back, shows the picture.
TEST(ScreenCopyOnSway, CompositorFrozenOrGoneFailsTheCallAndIsUsedAgain) {
    SwayDesktop desktop(1280, 800);
    ASSERT_TRUE(desktop.ready());
    ASSERT_TRUE(desktop.showPicture({200, 0, 0}, {}));
    DesktopHost host(waylandHostEnv(desktop));
    auto expectShows = [&](Rgb color) {
        const test::Shot shot = host.capture();
        ASSERT_TRUE(shot.jpeg) << shot.log;
        EXPECT_TRUE(test::near(shot.jpeg->meanAround(640, 400), color, 12));
    };
    expectShows({200, 0, 0});

    desktop.freeze(true);
    const auto start = std::chrono::steady_clock::now();
    const test::Shot hung = host.capture();
    const auto waited = std::chrono::steady_clock::now() - start;
    desktop.freeze(false);
    test::expectFailure(hung,
                        "Error: Wayland screen-copy: no answer from the compositor within 5 s\n");
    // One wait, not one per connection tried; the bound is what is checked, not the speed.
    EXPECT_LT(waited, std::chrono::seconds(9));
    expectShows({200, 0, 0});

    const std::string socket = desktop.waylandDisplay();
    desktop.stop();
    test::expectFailure(host.capture(), "Error: Wayland screen-copy: ");
    ASSERT_TRUE(desktop.start());
    ASSERT_EQ(desktop.waylandDisplay(), socket);
    ASSERT_TRUE(desktop.showPicture({0, 0, 200}, {}));
    expectShows({0, 0, 200});
}

// On a machine without libwayland-client the library still loads, and the screen-copy route
// says which library it lacks.
TEST(ScreenCopyWithoutLibwayland, FailsWithALineNamingTheLibrary) {
    SwayDesktop desktop(1280, 800);
    ASSERT_TRUE(desktop.ready());
    auto env = waylandHostEnv(desktop);
    env.push_back("OVRA_SCREEN_ROUTE=screencopy");
    DesktopHost host(env, "libwayland-client.so.0");
    const test::Shot shot = host.capture();
    if (shot.result == -2) GTEST_SKIP() << "no mount namespace here to hide the library in";
    test::expectFailure(shot, "Error: Wayland screen-copy: ");
    EXPECT_NE(shot.log.find("libwayland-client.so.0"), std::string::npos) << shot.log;
}

// An X server that is XWayland: a host that can reach the compositor takes the true picture from
// it; one that cannot fails with a line saying why; never the black root window as success.
TEST(ScreenOnXWayland, NeverAnEmptyRootWindowAsSuccess) {
    SwayDesktop desktop(1280, 800, true);
    ASSERT_TRUE(desktop.ready());
    const auto blocks = test::quarterBlocks(1280, 800);
    ASSERT_TRUE(desktop.showPicture({40, 40, 40}, blocks));
    const std::string xDisplay = desktop.xDisplay();
    ASSERT_FALSE(xDisplay.empty());

    struct Case {
        const char* name;
        std::vector<std::string> env;
        std::string why;  // how the failure's first line begins; empty: the true picture
    };
    const std::string noCompositor = desktop.runtimeDir() + "/none";
    const Case cases[] = {
        {"Wayland session with XWayland",
         {"DISPLAY=" + xDisplay, "WAYLAND_DISPLAY=" + desktop.waylandDisplay(),
          "XDG_RUNTIME_DIR=" + desktop.runtimeDir(), "OVRA_SCREEN_ROUTE="},
         ""},
        // No screen-copy, so the portal is tried, and there is none here.
        {"XWayland alone",
         {"DISPLAY=" + xDisplay, "WAYLAND_DISPLAY=", "XDG_RUNTIME_DIR=" + noCompositor,
          "OVRA_SCREEN_ROUTE="},
         "Error: "},
        {"XWayland with the X11 route forced",
         {"DISPLAY=" + xDisplay, "OVRA_SCREEN_ROUTE=x11", "XDG_RUNTIME_DIR=" + noCompositor},
         "Error: the X server is XWayland, whose root window does not show the Wayland desktop\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const test::Shot shot = DesktopHost(c.env).capture();
        if (!c.why.empty()) {
            test::expectFailure(shot, c.why);
            continue;
        }
        ASSERT_TRUE(shot.jpeg) << shot.log;
        test::expectBlocks(blocks, 1280, 800, *shot.jpeg, 0.25);
    }
}

}  // namespace
}  // namespace ovra::e2e
