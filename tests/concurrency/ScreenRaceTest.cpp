// Screenshots from several threads at once: each reduced one comes back whole, every call through
// a route that keeps failing and being chosen again reaches exactly one route, and nothing may
// race (ThreadSanitizer). Captures alongside every other export are the stress test's.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "OvraHelper.h"
#include "ScreenJpeg.h"
#include "platform/ScreenRoute.h"
#include "platform/sim/SimDisplay.h"
#include "platform/sim/SimPlatform.h"

namespace ovra::test {
namespace {

// Several threads run `calls` times `call`; returns when all are done.
template <class Call>
void onThreads(int threads, int calls, Call call) {
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t)
        running.emplace_back([&] {
            for (int i = 0; i < calls; ++i) call();
        });
    for (auto& t : running) t.join();
}

// The scaler pool and the conversion's helper threads are shared between the calls.
TEST(ScreenRace, ReducedCapturesFromSeveralThreadsComeBackWhole) {
    auto platform = sim::installSimPlatform();
    sim::SimPicture picture;
    picture.width = 2400;
    picture.height = 1200;
    picture.blocks = {{0, 0, 1200, 1200, {220, 30, 30}}, {1200, 0, 1200, 1200, {30, 40, 210}}};
    platform->simDisplay().show(picture);
    std::atomic<int> whole{0};
    onThreads(3, 4, [&] {
        uint8_t* buffer = nullptr;
        int32_t length = 0;
        if (ov_capture_screen(&buffer, &length) != 0) return;
        const auto jpeg = decodeShot(buffer, length);
        ov_free_buffer(buffer);
        if (jpeg && jpeg->width == 1920 && jpeg->height == 960 &&
            near(jpeg->meanAround(400, 480), {220, 30, 30}, 14) &&
            near(jpeg->meanAround(1500, 480), {30, 40, 210}, 14))
            ++whole;
    });
    EXPECT_EQ(whole.load(), 3 * 4);
    installPlatform(nullptr);
}

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
    std::atomic<int> probes{0}, images{0};
    RoutedDisplay routed{SessionProbes{[] { return XServerKind::x11; },
                                       [&](std::string&) { return ++probes % 2 == 0; }},
                         [&]() -> Display& { return x11; },
                         [&]() -> Display& { return screenCopy; },
                         [&]() -> Display& { return portal; }};
    onThreads(4, 300, [&] {
        if (routed.createDisplayImage(routed.mainDisplayID())) ++images;
    });
    EXPECT_EQ(screenCopy.captures + portal.captures, 4 * 300);
    EXPECT_EQ(x11.captures, 0);
    EXPECT_GT(probes.load(), 1);
    EXPECT_GT(images.load(), 0);
    unsetenv("WAYLAND_DISPLAY");
}

}  // namespace
}  // namespace ovra::test
