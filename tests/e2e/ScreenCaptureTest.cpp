// The screenshot as a host sees it through dlopen, against Xvfb servers the tests start: the
// size rule on real displays, the drawn picture coming back, shared memory and plain grabs, a
// server that goes away and comes back, and no server at all.
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "../ScreenJpeg.h"
#include "Library.h"
#include "XvfbServer.h"

namespace ovra::e2e {
namespace {

using test::DecodedJpeg;
using test::Rgb;

struct Capture {
    int32_t result = -1;
    uint8_t* buffer = nullptr;
    int32_t length = 0;
    std::string log;
    std::optional<DecodedJpeg> jpeg;
};

Capture captureScreen() {
    auto& lib = Library::get();
    Capture c;
    testing::internal::CaptureStderr();
    c.result = lib.captureScreen(&c.buffer, &c.length);
    c.log = testing::internal::GetCapturedStderr();
    if (c.result == 0) {
        if (auto bytes = test::decodeBase64(c.buffer, size_t(c.length)))
            c.jpeg = test::decodeJpeg(*bytes);
        lib.freeBuffer(c.buffer);
        c.buffer = nullptr;
    }
    return c;
}

// Blocks in the four quarters, a white one in the middle with a line of text under them.
std::vector<XBlock> quarterBlocks(int w, int h) {
    return {{0, 0, w / 2, h / 2, {220, 30, 30}},
            {w / 2, 0, w - w / 2, h / 2, {30, 200, 40}},
            {0, h / 2, w / 2, h - h / 2, {30, 40, 210}},
            {w / 2, h / 2, w - w / 2, h - h / 2, {230, 220, 40}},
            {w * 3 / 8, h * 3 / 8, w / 4, h / 4, {250, 250, 250}}};
}

void expectBlocks(const std::vector<XBlock>& blocks, int w, int h, const DecodedJpeg& jpeg) {
    for (const auto& b : blocks) {
        // A point a quarter into the block, clear of the text drawn at the middle block's top.
        const int x = int(double(b.x + b.width / 2) * jpeg.width / w);
        const int y = int(double(b.y + b.height * 3 / 4) * jpeg.height / h);
        const Rgb want{b.color.r, b.color.g, b.color.b};
        const Rgb got = jpeg.meanAround(x, y);
        EXPECT_TRUE(test::near(got, want, 14))
            << "block at " << b.x << "," << b.y << " shows " << test::describe(got) << ", drawn "
            << test::describe(want);
    }
}

class UseDisplay {
  public:
    explicit UseDisplay(const std::string& display) {
        if (const char* old = std::getenv("DISPLAY")) old_ = old;
        setenv("DISPLAY", display.c_str(), 1);
    }
    ~UseDisplay() {
        if (old_)
            setenv("DISPLAY", old_->c_str(), 1);
        else
            unsetenv("DISPLAY");
    }

  private:
    std::optional<std::string> old_;
};

struct SizeCase {
    int width, height, encodedWidth, encodedHeight;
};

class ScreenOnXvfb : public ::testing::TestWithParam<SizeCase> {};

TEST_P(ScreenOnXvfb, DrawnPictureComesBackAtTheEncodedSize) {
    const auto c = GetParam();
    XvfbServer server(c.width, c.height);
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
    expectBlocks(blocks, c.width, c.height, *shot.jpeg);
    // The text leaves dark marks in the white block where it was written.
    const int tx = int(double(c.width * 3 / 8 + 40) * shot.jpeg->width / c.width);
    const int ty = int(double(c.height * 3 / 8 + 16) * shot.jpeg->height / c.height);
    int darkest = 255;
    for (int dx = -30; dx <= 30; ++dx)
        for (int dy = -6; dy <= 6; ++dy)
            darkest = std::min(darkest, shot.jpeg->at(tx + dx, ty + dy).g);
    EXPECT_LT(darkest, 160);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ScreenOnXvfb,
    ::testing::Values(SizeCase{2880, 1800, 1920, 1200}, SizeCase{1920, 1080, 1920, 1080},
                      SizeCase{1080, 1920, 1080, 1920}, SizeCase{2940, 1912, 1919, 1248}),
    [](const auto& info) {
        return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
    });

TEST(ScreenOnXvfbWithoutShm, PlainGrabGivesTheSamePicture) {
    XvfbServer server(2880, 1800, {"-extension", "MIT-SHM"});
    ASSERT_TRUE(server.ready());
    const auto blocks = quarterBlocks(2880, 1800);
    ASSERT_TRUE(server.draw({40, 40, 40}, blocks));
    UseDisplay use(server.display());
    const Capture shot = captureScreen();
    ASSERT_EQ(shot.result, 0) << shot.log;
    ASSERT_TRUE(shot.jpeg);
    EXPECT_EQ(shot.jpeg->width, 1920);
    expectBlocks(blocks, 2880, 1800, *shot.jpeg);
}

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
                auto bytes = test::decodeBase64(buffer, size_t(length));
                lib.freeBuffer(buffer);
                auto jpeg = bytes ? test::decodeJpeg(*bytes) : std::nullopt;
                if (jpeg && jpeg->width == 1920 && jpeg->height == 1200 &&
                    test::near(jpeg->meanAround(300, 300), Rgb{220, 30, 30}, 14))
                    ++good;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(good.load(), 12);
}

// 16-bit colour has no 8-bit channels to read: that display gives no image, and says so.
TEST(ScreenOnXvfbSixteenBit, UnreadableLayoutIsNoImage) {
    XvfbServer server(1280, 800, {}, "", 16);
    ASSERT_TRUE(server.ready());
    UseDisplay use(server.display());
    uint8_t* buffer = nullptr;
    int32_t length = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(Library::get().captureScreen(&buffer, &length), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: CGDisplayCreateImage returned nil\n");
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(length, 0);
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
        uint8_t marker = 0;
        for (auto [buffer, length] : {std::pair<uint8_t*, int32_t>{nullptr, 0},
                                      std::pair<uint8_t*, int32_t>{&marker, 42}}) {
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
}

}  // namespace
}  // namespace ovra::e2e
