// Which way to the screen a capture takes: the X11 grab, the wlroots screen-copy protocol or the
// desktop portal. The choice is made once per connection (on the first capture, and again only
// after a capture failed), from the session and what its servers offer:
//
//   OVRA_SCREEN_ROUTE=x11|screencopy|portal   that route, whatever the session (x11 still
//                                             refuses an XWayland server);
//   WAYLAND_DISPLAY set                       screen-copy if the compositor offers it, else the
//                                             portal;
//   an X server that is XWayland              the same: its root window shows no Wayland window;
//   otherwise                                 the X11 grab.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Display.h"

namespace ovra {

enum class ScreenRoute { x11, screenCopy, portal, none };
enum class XServerKind { unreachable, x11, xwayland };

// The name of the variable that forces a route.
inline constexpr const char* kScreenRouteVariable = "OVRA_SCREEN_ROUTE";

// What the route chooser asks of the session; each backend answers its own question.
struct SessionProbes {
    std::function<XServerKind()> xServer;
    // Whether the Wayland compositor offers screen copies; `why` says why not.
    std::function<bool(std::string& why)> screenCopyOffered;
};

// The rules above, given the two variables' values (null when unset). `why` is set when the
// answer is `none`.
ScreenRoute chooseScreenRoute(const char* forced, const char* waylandDisplay,
                              const SessionProbes& probes, std::string& why);

// A display that passes each capture to the route chosen for the current connection.
class RoutedDisplay : public Display {
  public:
    // Each gives its route's display, made on first use by the caller and kept by it; called
    // with the chooser's lock held.
    using RouteDisplay = std::function<Display&()>;
    RoutedDisplay(SessionProbes probes, RouteDisplay x11, RouteDisplay screenCopy,
                  RouteDisplay portal);

    DisplayID mainDisplayID() override;
    std::shared_ptr<Image> createDisplayImage(DisplayID display) override;

  private:
    SessionProbes probes_;
    RouteDisplay routes_[3];
    std::mutex mutex_;
    ScreenRoute chosen_ = ScreenRoute::none;
    std::string whyNone_;
    bool decided_ = false;
};

}  // namespace ovra
