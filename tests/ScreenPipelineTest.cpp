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

TEST_P(ScreenFormats, ScaledPictureShowsTheBlocks) {
    const auto p = quarterPicture(2880, 1800, GetParam());
    show(p);
    const Shot& shot = capture();
    ASSERT_EQ(shot.result, 0) << shot.log;
    ASSERT_TRUE(shot.jpeg);
    EXPECT_EQ(shot.jpeg->subsampling, TJSAMP_420);
    expectBlocksShown(p, *shot.jpeg);
    EXPECT_TRUE(near(shot.jpeg->meanAround(100, 1100), Rgb{30, 40, 210}, 14));
}

TEST_P(ScreenFormats, FullSizePictureShowsTheBlocks) {
    const auto p = quarterPicture(1280, 800, GetParam());
    show(p);
    const Shot& shot = capture();
    ASSERT_EQ(shot.result, 0) << shot.log;
    ASSERT_TRUE(shot.jpeg);
    EXPECT_EQ(shot.jpeg->width, 1280);
    expectBlocksShown(p, *shot.jpeg);
}

INSTANTIATE_TEST_SUITE_P(Layouts, ScreenFormats,
                         ::testing::Values(PixelFormat::rgbx, PixelFormat::bgrx, PixelFormat::xrgb,
                                           PixelFormat::xbgr, PixelFormat::rgb, PixelFormat::bgr),
                         [](const auto& info) { return std::string(pixelFormatName(info.param)); });

TEST_F(ScreenTest, TextIsPaddedBase64OfAJpegWithNothingAfterIt) {
    show(quarterPicture(1000, 600));
    const Shot& shot = capture();
    ASSERT_EQ(shot.result, 0);
    ASSERT_GT(shot.length, 0);
    EXPECT_EQ(shot.length % 4, 0);
    const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
    EXPECT_TRUE(std::all_of(shot.buffer, shot.buffer + shot.length, [&](uint8_t c) {
        return alphabet.find(char(c)) != std::string::npos;
    }));
    const auto bytes = decodeBase64(shot.buffer, size_t(shot.length));
    ASSERT_TRUE(bytes);
    ASSERT_GE(bytes->size(), 4u);
    EXPECT_EQ((*bytes)[0], 0xFF);
    EXPECT_EQ((*bytes)[1], 0xD8);
    EXPECT_EQ((*bytes)[bytes->size() - 2], 0xFF);
    EXPECT_EQ((*bytes)[bytes->size() - 1], 0xD9);
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

TEST(ScreenFreeBuffer, NullIsIgnored) {
    ov_free_buffer(nullptr);
    SUCCEED();
}

}  // namespace
}  // namespace ovra::test
