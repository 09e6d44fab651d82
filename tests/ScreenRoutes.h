// Three routes that answer from a script and count their captures, behind the chooser of a
// Wayland session (WAYLAND_DISPLAY set, no route forced) whose screen-copy offer the test scripts.
#pragma once

#include <atomic>
#include <cstdlib>
#include <functional>

#include "platform/ScreenRoute.h"

namespace ovra::test {

// Fails every `failEvery`-th capture (none with 0), and every one while `succeed` is false.
class ScriptedDisplay : public Display {
  public:
    DisplayID mainDisplayID() override { return 1; }
    std::shared_ptr<Image> createDisplayImage(DisplayID) override {
        const int n = ++captures;
        if (!succeed || (failEvery && n % failEvery == 0)) return nullptr;
        static const uint8_t pixel[4] = {};
        return std::make_shared<Image>(1, 1, PixelFormat::bgrx,
                                       std::array<ImagePlane, 3>{ImagePlane{pixel, 4}}, nullptr,
                                       nullptr);
    }
    std::atomic<int> captures{0};
    std::atomic<bool> succeed{true};
    int failEvery = 0;
};

struct ScriptedRoutes {
    ScriptedRoutes() {
        unsetenv(kScreenRouteVariable);
        setenv("WAYLAND_DISPLAY", "wayland-1", 1);
    }
    ~ScriptedRoutes() { unsetenv("WAYLAND_DISPLAY"); }
    bool capture() { return routed.createDisplayImage(routed.mainDisplayID()) != nullptr; }

    std::atomic<int> probes{0};
    // Whether screen-copy is offered at the given probe (the first is 1).
    std::function<bool(int)> offered = [](int) { return true; };
    ScriptedDisplay x11, screenCopy, portal;
    RoutedDisplay routed{SessionProbes{[] { return XServerKind::x11; },
                                       [this](std::string&) { return offered(++probes); }},
                         [this]() -> Display& { return x11; },
                         [this]() -> Display& { return screenCopy; },
                         [this]() -> Display& { return portal; }};
};

}  // namespace ovra::test
