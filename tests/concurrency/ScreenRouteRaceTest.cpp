// Screenshots from several threads while the route keeps failing and being chosen again: every
// call reaches exactly one route and the choice is never torn.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/ScreenRoute.h"

namespace ovra {
namespace {

// Fails every third capture, so the chooser is reset while other threads use the route.
class FlakyDisplay : public Display {
  public:
    DisplayID mainDisplayID() override { return 1; }
    std::shared_ptr<Image> createDisplayImage(DisplayID) override {
        if (++captures % 3 == 0) return nullptr;
        static const uint8_t pixel[4] = {};
        return std::make_shared<Image>(1, 1, PixelFormat::bgrx,
                                       std::array<ImagePlane, 3>{ImagePlane{pixel, 4}}, nullptr,
                                       nullptr);
    }
    std::atomic<int> captures{0};
};

TEST(ScreenRouteRace, CallsFromSeveralThreadsWhileTheChoiceIsRemade) {
    setenv("WAYLAND_DISPLAY", "wayland-1", 1);
    unsetenv(kScreenRouteVariable);
    FlakyDisplay x11, screenCopy, portal;
    std::atomic<int> probes{0};
    RoutedDisplay routed{SessionProbes{[] { return XServerKind::x11; },
                                       [&](std::string&) { return ++probes % 2 == 0; }},
                         [&]() -> Display& { return x11; },
                         [&]() -> Display& { return screenCopy; },
                         [&]() -> Display& { return portal; }};
    constexpr int kThreads = 4, kCalls = 300;
    std::atomic<int> images{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kCalls; ++i)
                if (routed.createDisplayImage(routed.mainDisplayID())) ++images;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(screenCopy.captures + portal.captures, kThreads * kCalls);
    EXPECT_EQ(x11.captures, 0);
    EXPECT_GT(probes.load(), 1);
    EXPECT_GT(images.load(), 0);
    unsetenv("WAYLAND_DISPLAY");
}

}  // namespace
}  // namespace ovra
