// Which pixel format an X server's description of its images amounts to, for both byte orders.
#include <gtest/gtest.h>

#include "platform/graphics/PixelLayout.h"

namespace ovra {
namespace {

constexpr uint32_t R = 0xff0000, G = 0x00ff00, B = 0x0000ff;

TEST(ScreenPixelLayout, ThirtyTwoBitPixelsInBothByteOrders) {
    EXPECT_EQ(packedFormatFor(32, R, G, B, false), PixelFormat::bgrx);
    EXPECT_EQ(packedFormatFor(32, R, G, B, true), PixelFormat::xrgb);
    EXPECT_EQ(packedFormatFor(32, B, G, R, false), PixelFormat::rgbx);
    EXPECT_EQ(packedFormatFor(32, B, G, R, true), PixelFormat::xbgr);
    EXPECT_EQ(packedFormatFor(32, R << 8, G << 8, B << 8, false), PixelFormat::xbgr);
    EXPECT_EQ(packedFormatFor(32, R << 8, G << 8, B << 8, true), PixelFormat::rgbx);
}

TEST(ScreenPixelLayout, TwentyFourBitPixelsInBothByteOrders) {
    EXPECT_EQ(packedFormatFor(24, R, G, B, false), PixelFormat::bgr);
    EXPECT_EQ(packedFormatFor(24, R, G, B, true), PixelFormat::rgb);
    EXPECT_EQ(packedFormatFor(24, B, G, R, false), PixelFormat::rgb);
}

TEST(ScreenPixelLayout, LayoutsWithoutWholeByteChannelsAreRefused) {
    EXPECT_FALSE(packedFormatFor(16, 0xf800, 0x07e0, 0x001f, false));
    EXPECT_FALSE(packedFormatFor(32, 0x3ff00000, 0x000ffc00, 0x000003ff, false));
    EXPECT_FALSE(packedFormatFor(32, R, R, B, false));
    EXPECT_FALSE(packedFormatFor(24, R << 8, G, B, false));
    EXPECT_FALSE(packedFormatFor(8, 0, 0, 0, false));
}

}  // namespace
}  // namespace ovra
