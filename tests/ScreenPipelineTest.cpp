// A successful screenshot on the simulated platform: the calls made and their order, the
// picture that comes back, and the form of the text handed over.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "ScreenFixture.h"

namespace ovra::test {
namespace {

using ::testing::ElementsAre;

TEST_F(ScreenTest, ReducedCaptureMakesTheCallsInOrder) {
    show(quarterPicture(2880, 1800));
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

// Flat displays are reduced to the width limit too: the height never truncates to no row.
TEST_F(ScreenTest, VeryFlatDisplaysComeOutAtTheWidthLimit) {
    for (auto [width, height] : {std::pair<size_t, size_t>{1921, 1}, {4000, 1}, {32767, 16}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        sim::SimPicture p;
        p.width = width;
        p.height = height;
        p.background = {30, 200, 40};
        show(p);
        const Shot& shot = capture();
        ASSERT_EQ(shot.result, 0) << shot.log;
        ASSERT_TRUE(shot.jpeg);
        EXPECT_EQ(shot.jpeg->width, 1920);
        EXPECT_EQ(shot.jpeg->height, 1);
        for (int x : {8, 960, 1911}) {
            const Rgb got = shot.jpeg->at(x, 0);
            EXPECT_TRUE(near(got, Rgb{30, 200, 40}, 14)) << x << ": " << describe(got);
        }
    }
}

TEST_F(ScreenTest, ImageWithoutColourSpaceIsDrawnInSRGB) {
    auto p = quarterPicture(2880, 1800);
    p.hasColorSpace = false;
    show(p);
    const Shot& shot = capture();
    ASSERT_EQ(shot.result, 0);
    EXPECT_EQ(journal().entriesStartingWith("createColorSpaceWithName"),
              std::vector<std::string>{"createColorSpaceWithName sRGB"});
    EXPECT_EQ(
        journal().entriesStartingWith("createBitmapContext"),
        std::vector<std::string>{"createBitmapContext 1920x1200 bpc=8 bpr=0 space=sRGB info=1"});
    ASSERT_TRUE(shot.jpeg);
    EXPECT_EQ(shot.jpeg->width, 1920);
    expectBlocksShown(p, *shot.jpeg);
}

// Every pixel layout a display can deliver comes out with its colours in place, scaled or not.
class ScreenFormats : public ScreenTest, public ::testing::WithParamInterface<PixelFormat> {};

TEST_P(ScreenFormats, PictureShowsTheBlocksScaledOrNot) {
    for (size_t width : {2880u, 1280u}) {
        SCOPED_TRACE(width);
        const auto p = quarterPicture(width, width * 5 / 8, GetParam());
        show(p);
        const Shot& shot = capture();
        ASSERT_EQ(shot.result, 0) << shot.log;
        ASSERT_TRUE(shot.jpeg);
        EXPECT_EQ(shot.jpeg->width, std::min<int>(int(width), 1920));
        EXPECT_EQ(shot.jpeg->subsampling, TJSAMP_420);
        expectBlocksShown(p, *shot.jpeg);
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ScreenFormats,
                         ::testing::Values(PixelFormat::rgbx, PixelFormat::bgrx, PixelFormat::xrgb,
                                           PixelFormat::xbgr, PixelFormat::rgb, PixelFormat::bgr),
                         [](const auto& info) { return std::string(pixelFormatName(info.param)); });

TEST_F(ScreenTest, TextIsPaddedBase64OfAJpegWithNothingAfterIt) {
    show(quarterPicture(1000, 600));
    const Shot& shot = capture();
    ASSERT_EQ(shot.result, 0);
    // The test's decoder is strict: any character outside the alphabet or bad padding fails.
    const auto bytes = decodeBase64(shot.buffer, size_t(shot.length));
    ASSERT_TRUE(bytes);
    ASSERT_GE(bytes->size(), 4u);  // starts with the JPEG's first marker and ends with its last
    EXPECT_EQ(std::vector<uint8_t>(bytes->begin(), bytes->begin() + 2),
              (std::vector<uint8_t>{0xFF, 0xD8}));
    EXPECT_EQ(std::vector<uint8_t>(bytes->end() - 2, bytes->end()),
              (std::vector<uint8_t>{0xFF, 0xD9}));
}

TEST_F(ScreenTest, EachCallHandsOverABlockOfItsOwn) {
    show(quarterPicture(800, 600));
    uint8_t* first = nullptr;
    int32_t firstLength = 0;
    ASSERT_EQ(ov_capture_screen(&first, &firstLength), 0);
    const Shot& second = capture();
    ASSERT_EQ(second.result, 0);
    EXPECT_NE(first, second.buffer);
    ASSERT_EQ(firstLength, second.length);
    EXPECT_TRUE(std::equal(first, first + firstLength, second.buffer));
    ov_free_buffer(first);
}

}  // namespace
}  // namespace ovra::test
