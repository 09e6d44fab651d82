// The choice of the way to the screen from the session's variables and servers.
#include <gtest/gtest.h>

#include <cstdlib>

#include "ScreenRoutes.h"

namespace ovra::test {
namespace {

struct RouteCase {
    const char* forced;
    const char* waylandDisplay;
    XServerKind xServer;
    bool screenCopyOffered;
    ScreenRoute route;
    bool asksX;  // whether the X server had to be asked
};

TEST(ScreenRouteRules, SessionAndServersChooseTheRoute) {
    using enum ScreenRoute;
    using X = XServerKind;
    const RouteCase cases[] = {
        {nullptr, nullptr, X::x11, true, x11, true},
        {nullptr, nullptr, X::unreachable, true, x11, true},
        {nullptr, "", X::x11, true, x11, true},
        {"auto", nullptr, X::x11, true, x11, true},
        {nullptr, "wayland-1", X::x11, true, screenCopy, false},
        {nullptr, "wayland-1", X::x11, false, portal, false},
        {nullptr, nullptr, X::xwayland, true, screenCopy, true},
        {nullptr, nullptr, X::xwayland, false, portal, true},
        {"x11", "wayland-1", X::x11, true, x11, true},
        {"x11", nullptr, X::xwayland, true, none, true},
        {"screencopy", nullptr, X::x11, false, screenCopy, false},
        {"portal", "wayland-1", X::x11, true, portal, false},
        {"wayland", nullptr, X::x11, true, none, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.forced ? c.forced : "-") + " / " +
                     (c.waylandDisplay ? c.waylandDisplay : "-"));
        int xAsked = 0;
        const SessionProbes probes{[&] { return ++xAsked, c.xServer; },
                                   [&](std::string&) { return c.screenCopyOffered; }};
        std::string why;
        EXPECT_EQ(chooseScreenRoute(c.forced, c.waylandDisplay, probes, why), c.route);
        EXPECT_EQ(xAsked, c.asksX ? 1 : 0);
        EXPECT_EQ(why.empty(), c.route != none) << why;
    }
}

TEST(RoutedDisplay, ChoosesOncePerConnectionAndAgainAfterAFailure) {
    ScriptedRoutes f;
    EXPECT_TRUE(f.capture());
    EXPECT_TRUE(f.capture());
    EXPECT_EQ(f.probes, 1);
    EXPECT_EQ(f.screenCopy.captures, 2);

    // The compositor went away and came back without screen-copy: the failed call stays on its
    // route, the next one chooses again.
    f.screenCopy.succeed = false;
    f.offered = [](int) { return false; };
    EXPECT_FALSE(f.capture());
    EXPECT_EQ(f.screenCopy.captures, 3);
    EXPECT_TRUE(f.capture());
    EXPECT_EQ(f.probes, 2);
    EXPECT_EQ(f.portal.captures, 1);
    EXPECT_EQ(f.x11.captures, 0);
}

TEST(RoutedDisplay, NoRouteFailsWithOneLineSayingWhy) {
    ScriptedRoutes f;
    setenv(kScreenRouteVariable, "wayland", 1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(f.capture());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: OVRA_SCREEN_ROUTE=wayland names no screen route (x11, screencopy, portal, "
              "auto)\n");
    unsetenv(kScreenRouteVariable);
    EXPECT_TRUE(f.capture());
    EXPECT_EQ(f.screenCopy.captures, 1);
}

}  // namespace
}  // namespace ovra::test
