// The screenshot as a host sees it through dlopen, against Xvfb servers the tests start: the
// size rule on real displays, the drawn picture coming back, shared memory and plain grabs, a
// server that goes away and comes back, and no server at all.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "../ScreenJpeg.h"
#include "Library.h"
#include "XvfbServer.h"

namespace ovra::e2e {
namespace {

using test::quarterBlocks;
using test::Rgb;

using Capture = test::Shot;

Capture captureScreen() {
    auto& lib = Library::get();
    Capture c = test::takeShot([&](uint8_t** b, int32_t* n) { return lib.captureScreen(b, n); });
    if (c.result == 0) lib.freeBuffer(c.buffer);
    c.buffer = nullptr;
    return c;
}

// DISPLAY set for the scope of a test, then put back as it was. A Wayland session of the
// machine running the tests would take the screenshot elsewhere: these tests are about X11.
struct UseDisplay {
    explicit UseDisplay(const std::string& display) {
        if (const char* old = std::getenv("DISPLAY")) old_ = old;
        setenv("DISPLAY", display.c_str(), 1);
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("OVRA_SCREEN_ROUTE");
    }
    ~UseDisplay() { old_ ? setenv("DISPLAY", old_->c_str(), 1) : unsetenv("DISPLAY"); }
    std::optional<std::string> old_;
};

struct SizeCase {
    int width, height, encodedWidth, encodedHeight;
    bool shm = true;  // Without the MIT-SHM extension the plain grab is taken.
};

class ScreenOnXvfb : public ::testing::TestWithParam<SizeCase> {};

TEST_P(ScreenOnXvfb, DrawnPictureComesBackAtTheEncodedSize) {
    const auto c = GetParam();
    XvfbServer server(
        c.width, c.height,
        c.shm ? std::vector<std::string>{} : std::vector<std::string>{"-extension", "MIT-SHM"});
    ASSERT_TRUE(server.ready());
    const auto blocks = quarterBlocks(c.width, c.height);
    ASSERT_TRUE(server.draw({40, 40, 40}, blocks, "OvraHelper screenshot test 0123456789",
                            c.width * 3 / 8 + 10, c.height * 3 / 8 + 20));
    UseDisplay use(server.display());

    const Capture shot = captureScreen();
    ASSERT_EQ(shot.result, 0) << shot.log;
    EXPECT_EQ(shot.log, "");
    ASSERT_TRUE(shot.jpeg);
    EXPECT_EQ(shot.jpeg->width, c.encodedWidth);
    EXPECT_EQ(shot.jpeg->height, c.encodedHeight);
    // A point a quarter into each block, clear of the text at the middle block's top.
    test::expectBlocks(blocks, c.width, c.height, *shot.jpeg, 0.75);
    // The text leaves dark marks in the white block where it was written.
    const int tx = int(double(c.width * 3 / 8 + 40) * shot.jpeg->width / c.width);
    const int ty = int(double(c.height * 3 / 8 + 16) * shot.jpeg->height / c.height);
    int darkest = 255;
    for (int dx = -30; dx <= 30; ++dx)
        for (int dy = -6; dy <= 6; ++dy)
            darkest = std::min(darkest, shot.jpeg->at(tx + dx, ty + dy).g);
    EXPECT_LT(darkest, 160);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ScreenOnXvfb,
                         ::testing::Values(SizeCase{2880, 1800, 1920, 1200},
                                           SizeCase{1920, 1080, 1920, 1080},
                                           SizeCase{1080, 1920, 1080, 1920},
                                           SizeCase{2940, 1912, 1919, 1248},
                                           SizeCase{2880, 1800, 1920, 1200, false}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" +
                                    std::to_string(info.param.height) +
                                    (info.param.shm ? "" : "_NoShm");
                         });

TEST(ScreenOnXvfbServerRestart, ServerThatCameBackWorksOnTheNextCall) {
    std::string display;
    {
        XvfbServer first(1280, 800);
        ASSERT_TRUE(first.ready());
        ASSERT_TRUE(first.draw({200, 0, 0}, {}));
        display = first.display();
        UseDisplay use(display);
        const Capture shot = captureScreen();
        ASSERT_EQ(shot.result, 0);
        EXPECT_TRUE(test::near(shot.jpeg->meanAround(640, 400), Rgb{200, 0, 0}, 12));
        first.stop();
        const Capture gone = captureScreen();
        EXPECT_EQ(gone.result, 1);
        EXPECT_EQ(gone.log, "Error: CGDisplayCreateImage returned nil\n");
    }
    XvfbServer again(1600, 900, {}, display);
    ASSERT_TRUE(again.ready());
    ASSERT_TRUE(again.draw({0, 0, 200}, {}));
    UseDisplay use(display);
    const Capture shot = captureScreen();
    ASSERT_EQ(shot.result, 0) << shot.log;
    EXPECT_EQ(shot.jpeg->width, 1600);
    EXPECT_TRUE(test::near(shot.jpeg->meanAround(800, 450), Rgb{0, 0, 200}, 12));
}

// Bytes of System V shared memory mapped into this process (the grab segments).
size_t sharedMemoryMapped() {
    std::ifstream maps("/proc/self/maps");
    size_t total = 0;
    for (std::string line; std::getline(maps, line);) {
        if (line.find("SYSV") == std::string::npos) continue;
        std::istringstream range(line);
        uintptr_t begin = 0, end = 0;
        char dash = 0;
        range >> std::hex >> begin >> dash >> end;
        total += end - begin;
    }
    return total;
}

// What stays mapped between screenshots follows the display: after one grab of an 8192x8192
// display, then a switch to 2880x1800 (an xrandr mode change, same connection), the segment
// kept for the next grab fits the smaller display.
TEST(ScreenOnXvfbShrinking, KeptSegmentFollowsTheDisplayDown) {
    XvfbServer server(8192, 8192);
    ASSERT_TRUE(server.ready());
    UseDisplay use(server.display());
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
        const Capture shot = captureScreen();
        ASSERT_EQ(shot.result, 0) << shot.log;
        EXPECT_EQ(shot.jpeg->width, 1920);
        EXPECT_EQ(shot.jpeg->height, 1200);
    }
    EXPECT_LE(sharedMemoryMapped(), normal + normal / 4);
}

TEST(ScreenOnXvfbThreads, CallsFromSeveralThreadsAtOnceAllSucceed) {
    XvfbServer server(2880, 1800);
    ASSERT_TRUE(server.ready());
    const auto blocks = quarterBlocks(2880, 1800);
    ASSERT_TRUE(server.draw({40, 40, 40}, blocks));
    UseDisplay use(server.display());
    auto& lib = Library::get();
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 3; ++i) {
                uint8_t* buffer = nullptr;
                int32_t length = 0;
                if (lib.captureScreen(&buffer, &length) != 0) continue;
                const auto jpeg = test::decodeShot(buffer, length);
                lib.freeBuffer(buffer);
                if (jpeg && jpeg->width == 1920 && jpeg->height == 1200 &&
                    test::near(jpeg->meanAround(300, 300), Rgb{220, 30, 30}, 14))
                    ++good;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(good.load(), 12);
}

// The capture fails with the nil line and leaves what the host stored: null and 0, or anything.
void expectNilFailure() {
    uint8_t marker = 0;
    for (auto [buffer, length] :
         {std::pair<uint8_t*, int32_t>{nullptr, 0}, std::pair<uint8_t*, int32_t>{&marker, 42}}) {
        uint8_t* b = buffer;
        int32_t n = length;
        testing::internal::CaptureStderr();
        EXPECT_EQ(Library::get().captureScreen(&b, &n), 1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Error: CGDisplayCreateImage returned nil\n");
        EXPECT_EQ(b, buffer);
        EXPECT_EQ(n, length);
    }
}

// 16-bit colour has no 8-bit channels to read: that display gives no image, and says so.
TEST(ScreenOnXvfbSixteenBit, UnreadableLayoutIsNoImage) {
    XvfbServer server(1280, 800, {}, "", 16);
    ASSERT_TRUE(server.ready());
    UseDisplay use(server.display());
    expectNilFailure();
}

// A display name that no server answers: a number whose socket does not exist.
std::string deadDisplay() {
    for (int n = 877;; ++n)
        if (access(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), F_OK) != 0)
            return ":" + std::to_string(n);
}

TEST(ScreenWithoutXServer, FailsWithTheNilLineAndLeavesTheVariables) {
    for (bool unset : {false, true}) {
        UseDisplay use(deadDisplay());
        if (unset) unsetenv("DISPLAY");
        expectNilFailure();
    }
}

}  // namespace
}  // namespace ovra::e2e
