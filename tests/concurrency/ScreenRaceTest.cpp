// Screenshots from several threads at once, also under ThreadSanitizer. Captures alongside every
// other export are the stress test's.
#include <gtest/gtest.h>

#include <atomic>

#include "OvraHelper.h"
#include "ScreenJpeg.h"
#include "ScreenRoutes.h"
#include "platform/sim/SimDisplay.h"
#include "platform/sim/SimPlatform.h"

namespace ovra::test {
namespace {

// The scaler pool and the conversion's helper threads are shared between the calls.
TEST(ScreenRace, ReducedCapturesFromSeveralThreadsComeBackWhole) {
    auto platform = sim::installSimPlatform();
    platform->simDisplay().show(
        {.width = 2400,
         .height = 1200,
         .blocks = {{0, 0, 1200, 1200, {220, 30, 30}}, {1200, 0, 1200, 1200, {30, 40, 210}}}});
    std::atomic<int> whole{0};
    onThreads(3, 4, [&] {
        const auto jpeg = takeShot(ov_capture_screen, ov_free_buffer, false).jpeg;
        if (jpeg && jpeg->width == 1920 && jpeg->height == 960 &&
            near(jpeg->meanAround(400, 480), {220, 30, 30}, 14) &&
            near(jpeg->meanAround(1500, 480), {30, 40, 210}, 14))
            ++whole;
    });
    EXPECT_EQ(whole.load(), 3 * 4);
    installPlatform(nullptr);
}

TEST(ScreenRouteRace, CallsFromSeveralThreadsWhileTheChoiceIsRemade) {
    ScriptedRoutes routes;
    routes.offered = [](int probe) { return probe % 2 == 0; };
    // Every third capture fails, so the chooser is reset while other threads use the route.
    for (ScriptedDisplay* d : {&routes.x11, &routes.screenCopy, &routes.portal}) d->failEvery = 3;
    std::atomic<int> images{0};
    onThreads(4, 300, [&] {
        if (routes.capture()) ++images;
    });
    EXPECT_EQ(routes.screenCopy.captures + routes.portal.captures, 4 * 300);
    EXPECT_EQ(routes.x11.captures, 0);
    EXPECT_GT(routes.probes.load(), 1);
    EXPECT_GT(images.load(), 0);
}

}  // namespace
}  // namespace ovra::test
