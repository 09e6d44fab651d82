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

constexpr char kNilLine[] = "Error: CGDisplayCreateImage returned nil";

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1)
        lines.push_back(text.substr(from, nl - from));
    return lines;
}

// The quarter blocks, and fine dark strokes in the white middle block where text would be.
std::vector<test::Block> pictureWithStrokes(int w, int h) {
    auto blocks = test::quarterBlocks(w, h);
    for (int i = 0; i < 8; ++i)
        blocks.push_back({w * 3 / 8 + 40 + i * 9, h * 3 / 8 + 30, 3, 24, {0, 0, 0}});
    return blocks;
}

// The host's environment on this desktop: its Wayland socket, no X server, no forced route.
std::vector<std::string> waylandHostEnv(const SwayDesktop& desktop) {
    auto env = desktop.clientEnv();
    env.insert(env.end(), {"DISPLAY=", "OVRA_SCREEN_ROUTE="});
    return env;
}

struct SizeCase {
    int width, height, encodedWidth, encodedHeight;
};

class ScreenCopyOnSway : public ::testing::TestWithParam<SizeCase> {};

TEST_P(ScreenCopyOnSway, ShownPictureComesBackAtTheEncodedSize) {
    const auto c = GetParam();
    SwayDesktop desktop(c.width, c.height);
    ASSERT_TRUE(desktop.ready());
    const auto blocks = pictureWithStrokes(c.width, c.height);
    ASSERT_TRUE(desktop.showPicture({40, 40, 40}, blocks));

    DesktopHost host(waylandHostEnv(desktop));
    const test::Shot shot = host.capture();
    ASSERT_EQ(shot.result, 0) << shot.log;
    EXPECT_EQ(shot.log, "");
    ASSERT_TRUE(shot.jpeg);
    EXPECT_EQ(shot.jpeg->width, c.encodedWidth);
    EXPECT_EQ(shot.jpeg->height, c.encodedHeight);
    test::expectBlocks(test::quarterBlocks(c.width, c.height), c.width, c.height, *shot.jpeg, 0.75);
    // The strokes leave dark marks in the white block, and white between them.
    const double sx = double(shot.jpeg->width) / c.width, sy = double(shot.jpeg->height) / c.height;
    int darkest = 255;
    for (int x = int((c.width * 3 / 8 + 40) * sx); x < int((c.width * 3 / 8 + 110) * sx); ++x)
        darkest = std::min(darkest, shot.jpeg->at(x, int((c.height * 3 / 8 + 42) * sy)).g);
    EXPECT_LT(darkest, 120);
    EXPECT_TRUE(test::near(
        shot.jpeg->meanAround(int((c.width * 3 / 8 + 200) * sx), int((c.height * 3 / 8 + 42) * sy)),
        Rgb{250, 250, 250}, 14));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ScreenCopyOnSway,
                         ::testing::Values(SizeCase{2880, 1800, 1920, 1200},
                                           SizeCase{2940, 1912, 1919, 1248}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" +
                                    std::to_string(info.param.height);
                         });

TEST(ScreenCopyOnSwayRestart, CompositorThatWentAwayIsReconnectedOnALaterCall) {
    SwayDesktop desktop(1280, 800);
    ASSERT_TRUE(desktop.ready());
    ASSERT_TRUE(desktop.showPicture({200, 0, 0}, {}));
    DesktopHost host(waylandHostEnv(desktop));
    const test::Shot first = host.capture();
    ASSERT_EQ(first.result, 0) << first.log;
    EXPECT_TRUE(test::near(first.jpeg->meanAround(640, 400), Rgb{200, 0, 0}, 12));

    const std::string socket = desktop.waylandDisplay();
    desktop.stop();
    const test::Shot gone = host.capture();
    EXPECT_EQ(gone.result, 1);
    const auto lines = linesOf(gone.log);
    ASSERT_EQ(lines.size(), 2u) << gone.log;
    EXPECT_EQ(lines[0].rfind("Error: Wayland screen-copy: ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], kNilLine);

    ASSERT_TRUE(desktop.start());
    ASSERT_EQ(desktop.waylandDisplay(), socket);
    ASSERT_TRUE(desktop.showPicture({0, 0, 200}, {}));
    const test::Shot again = host.capture();
    ASSERT_EQ(again.result, 0) << again.log;
    EXPECT_TRUE(test::near(again.jpeg->meanAround(640, 400), Rgb{0, 0, 200}, 12));
}

TEST(ScreenCopyOnSwayFrozen, CompositorThatStopsAnsweringFailsTheCallInBoundedTime) {
    SwayDesktop desktop(1280, 800);
    ASSERT_TRUE(desktop.ready());
    ASSERT_TRUE(desktop.showPicture({0, 160, 0}, {}));
    DesktopHost host(waylandHostEnv(desktop));
    ASSERT_EQ(host.capture().result, 0);

    desktop.freeze(true);
    const auto start = std::chrono::steady_clock::now();
    const test::Shot hung = host.capture();
    const auto waited = std::chrono::steady_clock::now() - start;
    desktop.freeze(false);
    EXPECT_EQ(hung.result, 1);
    EXPECT_EQ(hung.log, "Error: Wayland screen-copy: no answer from the compositor within 5 s\n" +
                            std::string(kNilLine) + "\n");
    // One wait, not one per connection tried; the bound is what is checked, not the speed.
    EXPECT_LT(waited, std::chrono::seconds(9));

    const test::Shot again = host.capture();
    ASSERT_EQ(again.result, 0) << again.log;
    EXPECT_TRUE(test::near(again.jpeg->meanAround(640, 400), Rgb{0, 160, 0}, 12));
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
    EXPECT_EQ(shot.result, 1);
    const auto lines = linesOf(shot.log);
    ASSERT_EQ(lines.size(), 2u) << shot.log;
    EXPECT_EQ(lines[0].rfind("Error: Wayland screen-copy: ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("libwayland-client.so.0"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], kNilLine);
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
        bool picture;     // the true picture; otherwise a failure
        std::string why;  // the first line of a failure; empty: any "Error: " line
    };
    const std::string noCompositor = desktop.runtimeDir() + "/none";
    const Case cases[] = {
        {"Wayland session with XWayland",
         {"DISPLAY=" + xDisplay, "WAYLAND_DISPLAY=" + desktop.waylandDisplay(),
          "XDG_RUNTIME_DIR=" + desktop.runtimeDir(), "OVRA_SCREEN_ROUTE="},
         true,
         ""},
        // No screen-copy, so the portal is tried, and there is none here.
        {"XWayland alone",
         {"DISPLAY=" + xDisplay, "WAYLAND_DISPLAY=", "XDG_RUNTIME_DIR=" + noCompositor,
          "OVRA_SCREEN_ROUTE="},
         false,
         ""},
        {"XWayland with the X11 route forced",
         {"DISPLAY=" + xDisplay, "OVRA_SCREEN_ROUTE=x11", "XDG_RUNTIME_DIR=" + noCompositor},
         false,
         "Error: the X server is XWayland, whose root window does not show the Wayland desktop"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DesktopHost host(c.env);
        const test::Shot shot = host.capture();
        if (c.picture) {
            ASSERT_EQ(shot.result, 0) << shot.log;
            ASSERT_TRUE(shot.jpeg);
            test::expectBlocks(blocks, 1280, 800, *shot.jpeg, 0.25);
            continue;
        }
        EXPECT_EQ(shot.result, 1);
        const auto lines = linesOf(shot.log);
        ASSERT_EQ(lines.size(), 2u) << shot.log;
        EXPECT_EQ(lines[0].rfind("Error: ", 0), 0u) << lines[0];
        if (!c.why.empty()) {
            EXPECT_EQ(lines[0], c.why);
        }
        EXPECT_EQ(lines[1], kNilLine);
    }
}

}  // namespace
}  // namespace ovra::e2e
