// The screenshot through the export on the simulated platform, as a host decodes it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "OvraHelper.h"
#include "ScreenJpeg.h"
#include "platform/sim/SimDisplay.h"
#include "platform/sim/SimPlatform.h"
#include "support/AllocationCounter.h"

namespace ovra::test {
namespace {

using ::testing::ElementsAre;

inline sim::SimPicture quarterPicture(size_t width, size_t height,
                                      PixelFormat format = PixelFormat::bgrx) {
    sim::SimPicture p{.width = width, .height = height, .format = format, .blocks = {}};
    for (const Block& b : quarterBlocks(int(width), int(height))) {
        const sim::SimRgb color{uint8_t(b.color.r), uint8_t(b.color.g), uint8_t(b.color.b)};
        p.blocks.push_back({size_t(b.x), size_t(b.y), size_t(b.width), size_t(b.height), color});
    }
    return p;
}

class ScreenTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform_ = sim::installSimPlatform();
        show(picture_);
    }
    void TearDown() override { installPlatform(nullptr); }

    sim::SimJournal& journal() { return platform_->journal(); }
    void show(sim::SimPicture p) { platform_->simDisplay().show(std::move(p)); }
    static Shot capture() { return takeShot(ov_capture_screen, ov_free_buffer); }

    std::shared_ptr<sim::SimPlatform> platform_;
    sim::SimPicture picture_ = quarterPicture(2880, 1800);
};

TEST_F(ScreenTest, ReducedCaptureMakesTheCallsInOrder) {
    ASSERT_EQ(capture().result, 0);
    EXPECT_THAT(
        journal().entries(),
        ElementsAre("mainDisplayID -> 1", "createDisplayImage 1 -> 2880x1800 bgrx sRGB",
                    "createBitmapContext 1920x1200 bpc=8 bpr=0 space=sRGB info=1",
                    "setInterpolationQuality 3", "drawImage 2880x1800 in {0,0,1920,1200} tiled=0",
                    "createImageOfContext 1920x1200", "createImageDestination public.jpeg count=1",
                    "addImage 1920x1200 quality=0.5", "finalize -> true"));
}

TEST_F(ScreenTest, DisplayWithinTheLimitIsEncodedAsItIs) {
    show(quarterPicture(1920, 1080));
    ASSERT_EQ(capture().result, 0);
    EXPECT_THAT(journal().entries(),
                ElementsAre("mainDisplayID -> 1", "createDisplayImage 1 -> 1920x1080 bgrx sRGB",
                            "createImageDestination public.jpeg count=1",
                            "addImage 1920x1080 quality=0.5", "finalize -> true"));
}

TEST_F(ScreenTest, ImageWithoutColourSpaceIsDrawnInSRGB) {
    picture_.hasColorSpace = false;
    show(picture_);
    const Shot shot = capture();
    ASSERT_TRUE(shot.jpeg) << shot.log;
    EXPECT_EQ(journal().entriesStartingWith("createColorSpaceWithName"),
              std::vector<std::string>{"createColorSpaceWithName sRGB"});
    EXPECT_EQ(
        journal().entriesStartingWith("createBitmapContext"),
        std::vector<std::string>{"createBitmapContext 1920x1200 bpc=8 bpr=0 space=sRGB info=1"});
    EXPECT_EQ(shot.jpeg->width, 1920);
    expectBlocks(picture_.blocks, picture_.width, picture_.height, *shot.jpeg);
}

// Flat displays are reduced to the width limit too: the height never truncates to no row.
TEST_F(ScreenTest, VeryFlatDisplaysComeOutAtTheWidthLimit) {
    for (auto [width, height] : {std::pair<size_t, size_t>{1921, 1}, {4000, 1}, {32767, 16}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        show({.width = width, .height = height, .background = {30, 200, 40}, .blocks = {}});
        const Shot shot = capture();
        ASSERT_TRUE(shot.jpeg) << shot.log;
        EXPECT_EQ(shot.jpeg->width, 1920);
        EXPECT_EQ(shot.jpeg->height, 1);
        for (int x : {8, 960, 1911}) {
            const Rgb got = shot.jpeg->at(x, 0);
            EXPECT_TRUE(near(got, Rgb{30, 200, 40}, 14)) << x << ": " << describe(got);
        }
    }
}

class ScreenFormats : public ScreenTest, public ::testing::WithParamInterface<PixelFormat> {};

TEST_P(ScreenFormats, PictureShowsTheBlocksScaledOrNot) {
    for (size_t width : {2880u, 1280u}) {
        SCOPED_TRACE(width);
        const auto p = quarterPicture(width, width * 5 / 8, GetParam());
        show(p);
        const Shot shot = capture();
        ASSERT_TRUE(shot.jpeg) << shot.log;
        EXPECT_EQ(shot.jpeg->width, std::min<int>(int(width), 1920));
        EXPECT_EQ(shot.jpeg->subsampling, TJSAMP_420);
        expectBlocks(p.blocks, p.width, p.height, *shot.jpeg);
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ScreenFormats,
                         ::testing::Values(PixelFormat::rgbx, PixelFormat::bgrx, PixelFormat::xrgb,
                                           PixelFormat::xbgr, PixelFormat::rgb, PixelFormat::bgr),
                         [](const auto& info) { return std::string(pixelFormatName(info.param)); });

TEST_F(ScreenTest, EachCallHandsOverABlockOfItsOwn) {
    uint8_t *first = nullptr, *second = nullptr;
    int32_t firstLength = 0, secondLength = 0;
    ASSERT_EQ(ov_capture_screen(&first, &firstLength), 0);
    ASSERT_EQ(ov_capture_screen(&second, &secondLength), 0);
    EXPECT_NE(first, second);
    ASSERT_EQ(firstLength, secondLength);
    EXPECT_TRUE(std::equal(first, first + firstLength, second));
    ov_free_buffer(first);
    ov_free_buffer(second);
}

TEST_F(ScreenTest, FailuresWriteTheirLineAndLeaveTheVariables) {
    const struct {
        const char *step, *line, *notReached;
    } cases[] = {
        {"createDisplayImage", kNilLine, "createImageDestination"},
        {"createImageDestination", "Error: Failed to create image destination\n", "addImage"},
        {"finalize", "Error: Failed to finalize image\n", nullptr},
        // 1 610 612 734 bytes are the fewest whose Base64 text passes 2^31 - 1 characters.
        {"oversized", "Error: Screenshot text too long for a 32-bit length\n", nullptr},
        // Nothing can be handed over through a null out-pointer: no work is done.
        {"null buffer", "Error: ov_capture_screen needs two non-null out-pointers\n",
         "mainDisplayID"},
        {"null length", "Error: ov_capture_screen needs two non-null out-pointers\n",
         "mainDisplayID"},
    };
    uint8_t sentinel = 0;
    for (const auto& c : cases)
        for (auto [buffer, length] : {std::pair<uint8_t*, int32_t>{nullptr, 0},
                                      std::pair<uint8_t*, int32_t>{&sentinel, 77}}) {
            SCOPED_TRACE(c.line);
            journal().clear();
            const std::string step = c.step;
            if (step == "oversized")
                platform_->simGraphics().makeNextJpegOversized(1610612734);
            else if (step.rfind("null", 0) != 0)
                journal().failNext(c.step);
            uint8_t* b = buffer;
            int32_t n = length;
            testing::internal::CaptureStderr();
            EXPECT_EQ(ov_capture_screen(step == "null buffer" ? nullptr : &b,
                                        step == "null length" ? nullptr : &n),
                      1);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
            EXPECT_EQ(b, buffer);
            EXPECT_EQ(n, length);
            EXPECT_TRUE(!c.notReached || journal().entriesStartingWith(c.notReached).empty());
            const Shot next = capture();
            EXPECT_EQ(next.log, "");
            EXPECT_TRUE(next.result == 0 && next.jpeg && next.jpeg->width == 1920);
        }
}

TEST_F(ScreenTest, ScalingFailuresFallBackToFullSize) {
    const struct {
        const char *step, *notReached;
    } cases[] = {
        {"createColorSpaceWithName", "createBitmapContext"},
        {"createBitmapContext", "drawImage"},
        // A draw that cannot be done (no scaler) leaves no image to encode, not a black one.
        {"drawImage", nullptr},
        {"createImageOfContext", nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        picture_.hasColorSpace = std::string(c.step) != "createColorSpaceWithName";
        show(picture_);
        journal().clear();
        journal().failNext(c.step);
        const Shot shot = capture();
        EXPECT_EQ(shot.log, "");
        ASSERT_TRUE(shot.jpeg);
        EXPECT_EQ(shot.jpeg->width, 2880);
        EXPECT_EQ(shot.jpeg->height, 1800);
        expectBlocks(picture_.blocks, picture_.width, picture_.height, *shot.jpeg);
        EXPECT_TRUE(!c.notReached || journal().entriesStartingWith(c.notReached).empty());
        EXPECT_EQ(journal().entriesStartingWith("addImage"),
                  std::vector<std::string>{"addImage 2880x1800 quality=0.5"});
    }
}

// A success may be reduced or at full size (when the reduction could not be made), never black.
TEST_F(ScreenTest, EveryRefusedAllocationFailsWithALineOrShowsThePicture) {
    picture_ = quarterPicture(2400, 300);
    show(picture_);
    ASSERT_EQ(capture().result, 0);  // opens the scaler's library, fills the caches
    long refusals = 0;
    for (long nth = 0; nth < 5000; ++nth) {
        SCOPED_TRACE("allocation " + std::to_string(nth) + " refused");
        journal().clear();
        uint8_t* buffer = nullptr;
        int32_t length = 0, result = -1;
        bool refused = false;
        testing::internal::CaptureStderr();
        {
            test::AllocationRefusal refusal(nth);
            result = ov_capture_screen(&buffer, &length);
            refused = refusal.refused();
        }
        const std::string log = testing::internal::GetCapturedStderr();
        if (result == 0) {
            EXPECT_EQ(log, "");
            const auto jpeg = decodeShot(buffer, length);
            ov_free_buffer(buffer);
            ASSERT_TRUE(jpeg);
            EXPECT_TRUE(jpeg->width == 1920 || jpeg->width == 2400) << jpeg->width;
            expectBlocks(picture_.blocks, picture_.width, picture_.height, *jpeg);
        } else {
            EXPECT_EQ(result, 1);
            EXPECT_TRUE(log.rfind("Error: ", 0) == 0 && log.find('\n') == log.size() - 1) << log;
            EXPECT_EQ(buffer, nullptr);
            EXPECT_EQ(length, 0);
        }
        if (!refused) break;  // the call made fewer allocations than nth: every one was tried
        ++refusals;
        if (HasFailure()) break;
    }
    EXPECT_GT(refusals, 10);
}

}  // namespace
}  // namespace ovra::test
