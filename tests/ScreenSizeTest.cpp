// Which displays are reduced, and to what size: the width limit, double-precision truncation
// (and the 1919-wide results it gives), and displays no wider than the limit left alone.
#include <gtest/gtest.h>

#include "screen/TargetSize.h"

namespace ovra::test {
namespace {

TEST(ScreenSize, ReductionRuleWithTruncation) {
    const struct {
        PixelSize display, encoded;
    } cases[] = {
        {{2880, 1800}, {1920, 1200}}, {{3024, 1964}, {1920, 1246}}, {{3456, 2234}, {1920, 1241}},
        {{2940, 1912}, {1919, 1248}}, {{2148, 1000}, {1919, 893}},  {{2162, 1000}, {1919, 888}},
        {{1921, 1081}, {1920, 1080}}, {{1921, 10}, {1920, 9}},      {{1921, 1}, {1920, 1}},
        {{4000, 1}, {1920, 1}},       {{32767, 16}, {1920, 1}},     {{1920, 1200}, {1920, 1200}},
        {{1920, 5000}, {1920, 5000}}, {{1080, 1920}, {1080, 1920}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.display.width) + "x" + std::to_string(c.display.height));
        EXPECT_EQ(needsReduction(c.display), !(c.display == c.encoded));
        if (needsReduction(c.display)) {
            const PixelSize got = reducedSize(c.display);
            EXPECT_EQ(got.width, c.encoded.width);
            EXPECT_EQ(got.height, c.encoded.height);
        }
    }
}

}  // namespace
}  // namespace ovra::test
