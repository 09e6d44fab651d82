#include "platform/ScreenRoute.h"

#include <cstdlib>
#include <string_view>

#include "base/Log.h"

namespace ovra {

namespace {

constexpr DisplayID kMainDisplay = 1;

ScreenRoute waylandRoute(const SessionProbes& probes) {
    std::string whyNot;
    return probes.screenCopyOffered(whyNot) ? ScreenRoute::screenCopy : ScreenRoute::portal;
}

}  // namespace

ScreenRoute chooseScreenRoute(const char* forced, const char* waylandDisplay,
                              const SessionProbes& probes, std::string& why) {
    const std::string_view force = forced ? forced : "";
    if (force == "screencopy") return ScreenRoute::screenCopy;
    if (force == "portal") return ScreenRoute::portal;
    if (!force.empty() && force != "x11" && force != "auto") {
        why = std::string(kScreenRouteVariable) + "=" + std::string(force) +
              " names no screen route (x11, screencopy, portal, auto)";
        return ScreenRoute::none;
    }
    const bool waylandSession = waylandDisplay && *waylandDisplay;
    if (force != "x11" && waylandSession) return waylandRoute(probes);
    if (probes.xServer() != XServerKind::xwayland) return ScreenRoute::x11;
    if (force == "x11") {
        why = "the X server is XWayland, whose root window does not show the Wayland desktop";
        return ScreenRoute::none;
    }
    return waylandRoute(probes);
}

RoutedDisplay::RoutedDisplay(SessionProbes probes, RouteDisplay x11, RouteDisplay screenCopy,
                             RouteDisplay portal)
    : probes_(std::move(probes)),
      routes_{std::move(x11), std::move(screenCopy), std::move(portal)} {}

DisplayID RoutedDisplay::mainDisplayID() {
    return kMainDisplay;
}

std::shared_ptr<Image> RoutedDisplay::createDisplayImage(DisplayID display) {
    if (display != kMainDisplay) return nullptr;
    Display* route = nullptr;
    std::string why;
    {
        std::lock_guard lock(mutex_);
        if (!decided_) {
            whyNone_.clear();
            chosen_ = chooseScreenRoute(std::getenv(kScreenRouteVariable),
                                        std::getenv("WAYLAND_DISPLAY"), probes_, whyNone_);
            decided_ = true;
        }
        if (chosen_ != ScreenRoute::none)
            route = &routes_[size_t(chosen_)]();
        else
            why = whyNone_;
    }
    std::shared_ptr<Image> image;
    if (route)
        image = route->createDisplayImage(route->mainDisplayID());
    else
        logLine("Error: " + why + "\n");
    if (!image) {
        // The session may have changed under a failed capture: choose again next time.
        std::lock_guard lock(mutex_);
        decided_ = false;
    }
    return image;
}

}  // namespace ovra
