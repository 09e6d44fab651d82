// The screenshot as a host sees it through dlopen, against Xvfb servers the tests start.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "../ScreenJpeg.h"
#include "Library.h"
#include "XvfbServer.h"

namespace ovra::e2e {
namespace {

test::Shot captureScreen() {
    return test::takeShot(Library::get().captureScreen, Library::get().freeBuffer);
}

// The X server the library is to grab. A Wayland session of the machine running the tests would
// take the screenshot elsewhere: these tests are about X11.
void useDisplay(const std::string& display) {
    setenv("DISPLAY", display.c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("OVRA_SCREEN_ROUTE");
}

TEST(ScreenOnXvfb, DrawnPictureComesBackAtTheEncodedSize) {
    const struct {
        int width, height, encodedWidth, encodedHeight;
        bool shm;  // Without the MIT-SHM extension the plain grab is taken.
    } cases[] = {{2880, 1800, 1920, 1200, true},
                 {1920, 1080, 1920, 1080, true},
                 {1080, 1920, 1080, 1920, true},
                 {2940, 1912, 1919, 1248, true},
                 {2880, 1800, 1920, 1200, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) +
                     (c.shm ? "" : " without MIT-SHM"));
        XvfbServer server(
            c.width, c.height,
            c.shm ? std::vector<std::string>{} : std::vector<std::string>{"-extension", "MIT-SHM"});
        ASSERT_TRUE(server.ready());
        ASSERT_TRUE(server.draw({40, 40, 40}, test::blocksWithStrokes(c.width, c.height)));
        useDisplay(server.display());

        test::expectStrokedPicture(captureScreen(), c.width, c.height, c.encodedWidth,
                                   c.encodedHeight);
    }
}

TEST(ScreenOnXvfbServerRestart, ServerThatCameBackWorksOnTheNextCall) {
    XvfbServer first(1280, 800);
    ASSERT_TRUE(first.ready());
    ASSERT_TRUE(first.draw({200, 0, 0}, {}));
    const std::string display = first.display();
    useDisplay(display);
    test::expectColorAt(captureScreen(), 640, 400, {200, 0, 0});
    first.stop();
    test::expectFailure(captureScreen());
    XvfbServer again(1600, 900, {}, display);
    ASSERT_TRUE(again.ready());
    ASSERT_TRUE(again.draw({0, 0, 200}, {}));
    const test::Shot shot = captureScreen();
    ASSERT_TRUE(shot.jpeg) << shot.log;
    EXPECT_EQ(shot.jpeg->width, 1600);
    test::expectColorAt(shot, 800, 450, {0, 0, 200});
}

// Bytes of System V shared memory mapped into this process (the grab segments).
size_t sharedMemoryMapped() {
    std::ifstream maps("/proc/self/maps");
    size_t total = 0;
    for (std::string line; std::getline(maps, line);) {
        unsigned long begin = 0, end = 0;
        if (line.find("SYSV") != std::string::npos &&
            std::sscanf(line.c_str(), "%lx-%lx", &begin, &end) == 2)
            total += end - begin;
    }
    return total;
}

// An 8192x8192 display switched to 2880x1800 by an xrandr mode change, on the same connection.
TEST(ScreenOnXvfbShrinking, KeptSegmentFollowsTheDisplayDown) {
    XvfbServer server(8192, 8192);
    ASSERT_TRUE(server.ready());
    useDisplay(server.display());
    ASSERT_EQ(captureScreen().result, 0);
    const size_t huge = 8192u * 8192 * 4, normal = 2880u * 1800 * 4;
    ASSERT_GE(sharedMemoryMapped(), huge);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"xrandr", "--newmode", "m2880", "100", "2880", "2900", "2920",
                                   "2940", "1800", "1801", "1802", "1803"},
          {"xrandr", "--addmode", "screen", "m2880"},
          {"xrandr", "--output", "screen", "--mode", "m2880", "--fb", "2880x1800"}})
        ASSERT_EQ(ChildProcess(args).wait(), 0) << args[1];
    for (int i = 0; i < 3; ++i) {
        const test::Shot shot = captureScreen();
        ASSERT_TRUE(shot.jpeg) << shot.log;
        EXPECT_EQ(shot.jpeg->width, 1920);
        EXPECT_EQ(shot.jpeg->height, 1200);
    }
    EXPECT_LE(sharedMemoryMapped(), normal + normal / 4);
}

TEST(ScreenOnXvfbThreads, CallsFromSeveralThreadsAtOnceAllSucceed) {
    XvfbServer server(2880, 1800);
    ASSERT_TRUE(server.ready());
    ASSERT_TRUE(server.draw({40, 40, 40}, test::quarterBlocks(2880, 1800)));
    useDisplay(server.display());
    std::atomic<int> good{0};
    test::onThreads(4, 3, [&] {
        const auto jpeg =
            test::takeShot(Library::get().captureScreen, Library::get().freeBuffer, false).jpeg;
        if (jpeg && jpeg->width == 1920 && jpeg->height == 1200 &&
            test::near(jpeg->meanAround(300, 300), {220, 30, 30}, 14))
            ++good;
    });
    EXPECT_EQ(good.load(), 12);
}

// A 16-bit display has no 8-bit channels to read. A server that went away is the restart test's.
TEST(ScreenWithoutImage, FailsWithTheNilLine) {
    XvfbServer sixteenBit(1280, 800, {}, "", 16);
    ASSERT_TRUE(sixteenBit.ready());
    for (const std::string& display : {sixteenBit.display(), std::string()}) {
        SCOPED_TRACE(display);
        useDisplay(display);
        if (display.empty()) unsetenv("DISPLAY");
        test::expectFailure(captureScreen());
    }
}

}  // namespace
}  // namespace ovra::e2e
