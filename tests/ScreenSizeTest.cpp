// Which displays are reduced, and to what size: the width limit, double-precision truncation
// (and the 1919-wide results it gives), and portrait displays left alone.
#include <gtest/gtest.h>

#include "ScreenFixture.h"
#include "screen/TargetSize.h"

namespace ovra::test {
namespace {

struct SizeCase {
    PixelSize display;
    PixelSize encoded;
};

TEST(ScreenSize, WideDisplaysAreReducedWithTruncation) {
    const SizeCase cases[] = {
        {{2880, 1800}, {1920, 1200}}, {{3024, 1964}, {1920, 1246}}, {{3456, 2234}, {1920, 1241}},
        {{2940, 1912}, {1919, 1248}}, {{1921, 1081}, {1920, 1080}},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(needsReduction(c.display)) << c.display.width;
        const PixelSize got = reducedSize(c.display);
        EXPECT_EQ(got.width, c.encoded.width) << c.display.width << "x" << c.display.height;
        EXPECT_EQ(got.height, c.encoded.height) << c.display.width << "x" << c.display.height;
    }
}

TEST(ScreenSize, SomeWidthsFallOneShortOfTheLimit) {
    for (size_t width : {2148u, 2162u, 2940u})
        EXPECT_EQ(reducedSize({width, 1000}).width, 1919u) << width;
}

TEST(ScreenSize, OnlyTheWidthIsComparedWithTheLimit) {
    EXPECT_FALSE(needsReduction({1920, 1200}));
    EXPECT_FALSE(needsReduction({1920, 5000}));
    EXPECT_FALSE(needsReduction({1080, 1920}));
    EXPECT_TRUE(needsReduction({1921, 10}));
}

// The same rule seen by a host: the decoded JPEG has the reduced size, or the display's own.
class ScreenSizeThroughCapture : public ScreenTest,
                                 public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ScreenSizeThroughCapture, DecodedJpegHasTheEncodedSize) {
    const auto& c = GetParam();
    show(quarterPicture(c.display.width, c.display.height));
    const Shot& shot = capture();
    ASSERT_EQ(shot.result, 0) << shot.log;
    ASSERT_TRUE(shot.jpeg);
    EXPECT_EQ(size_t(shot.jpeg->width), c.encoded.width);
    EXPECT_EQ(size_t(shot.jpeg->height), c.encoded.height);
    EXPECT_EQ(shot.log, "");
}

INSTANTIATE_TEST_SUITE_P(Sizes, ScreenSizeThroughCapture,
                         ::testing::Values(SizeCase{{2940, 1912}, {1919, 1248}},
                                           SizeCase{{1921, 1081}, {1920, 1080}},
                                           SizeCase{{1920, 1080}, {1920, 1080}},
                                           SizeCase{{1080, 1920}, {1080, 1920}}));

}  // namespace
}  // namespace ovra::test
