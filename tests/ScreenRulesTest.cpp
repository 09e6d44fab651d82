// The screenshot's rules that need no display. The reduction truncates in double precision,
// which gives some 1919-wide results.
#include <gtest/gtest.h>
#include <wayland-client-protocol.h>

#include <cstdint>
#include <string>

#include "platform/graphics/PixelLayout.h"
#include "platform/wayland/ShmPixels.h"
#include "screen/Base64.h"
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
        EXPECT_EQ(needsReduction(c.display) ? reducedSize(c.display) : c.display, c.encoded);
    }
}

TEST(ScreenPixelLayout, XServerLayoutsInBothByteOrders) {
    constexpr uint32_t R = 0xff0000, G = 0x00ff00, B = 0x0000ff;
    EXPECT_EQ(packedFormatFor(32, R, G, B, false), PixelFormat::bgrx);
    EXPECT_EQ(packedFormatFor(32, R, G, B, true), PixelFormat::xrgb);
    EXPECT_EQ(packedFormatFor(32, B, G, R, false), PixelFormat::rgbx);
    EXPECT_EQ(packedFormatFor(32, B, G, R, true), PixelFormat::xbgr);
    EXPECT_EQ(packedFormatFor(32, R << 8, G << 8, B << 8, false), PixelFormat::xbgr);
    EXPECT_EQ(packedFormatFor(32, R << 8, G << 8, B << 8, true), PixelFormat::rgbx);
    EXPECT_EQ(packedFormatFor(24, R, G, B, false), PixelFormat::bgr);
    EXPECT_EQ(packedFormatFor(24, R, G, B, true), PixelFormat::rgb);
    EXPECT_EQ(packedFormatFor(24, B, G, R, false), PixelFormat::rgb);
    EXPECT_FALSE(packedFormatFor(16, 0xf800, 0x07e0, 0x001f, false));
    EXPECT_FALSE(packedFormatFor(32, 0x3ff00000, 0x000ffc00, 0x000003ff, false));
    EXPECT_FALSE(packedFormatFor(32, R, R, B, false));
    EXPECT_FALSE(packedFormatFor(24, R << 8, G, B, false));
    EXPECT_FALSE(packedFormatFor(8, 0, 0, 0, false));
}

TEST(ShmPixels, FormatsReadAsTheyStandAndTenBitRefused) {
    using enum PixelFormat;
    const std::pair<uint32_t, std::optional<PixelFormat>> cases[] = {
        {WL_SHM_FORMAT_XRGB8888, bgrx},
        {WL_SHM_FORMAT_ARGB8888, bgrx},
        {WL_SHM_FORMAT_XBGR8888, rgbx},
        {WL_SHM_FORMAT_ABGR8888, rgbx},
        {WL_SHM_FORMAT_RGBX8888, xbgr},
        {WL_SHM_FORMAT_BGRX8888, xrgb},
        {WL_SHM_FORMAT_RGB888, bgr},
        {WL_SHM_FORMAT_BGR888, rgb},
        {WL_SHM_FORMAT_XRGB2101010, std::nullopt},
        {WL_SHM_FORMAT_RGB565, std::nullopt},
    };
    for (const auto& [shm, layout] : cases)
        EXPECT_EQ(wayland::pixelFormatForShm(shm), layout) << shm;
    EXPECT_EQ(wayland::describeUnreadableShm(WL_SHM_FORMAT_XRGB2101010),
              "10-bit XRGB2101010 is not read");
    EXPECT_EQ(wayland::describeUnreadableShm(WL_SHM_FORMAT_RGB565),
              "pixel format 0x36314752 is not read");
}

TEST(ShmPixels, UpsideDownPictureIsTurnedTheRightWayUp) {
    for (size_t height : {1, 2, 3, 4}) {
        std::vector<uint8_t> rows;
        for (size_t r = 0; r < height; ++r) rows.insert(rows.end(), {uint8_t(r), uint8_t(r), 9});
        wayland::flipRows(rows.data(), 3, height);
        for (size_t r = 0; r < height; ++r) {
            EXPECT_EQ(rows[r * 3], height - 1 - r);
            EXPECT_EQ(rows[r * 3 + 2], 9);
        }
    }
}

std::string encode(const std::string& in) {
    std::string out(*base64Length(in.size()), '\0');
    base64Encode(reinterpret_cast<const uint8_t*>(in.data()), in.size(),
                 reinterpret_cast<uint8_t*>(out.data()));
    return out;
}

TEST(ScreenBase64, StandardVectors) {
    EXPECT_EQ(encode(""), "");
    EXPECT_EQ(encode("f"), "Zg==");
    EXPECT_EQ(encode("fo"), "Zm8=");
    EXPECT_EQ(encode("foo"), "Zm9v");
    EXPECT_EQ(encode("foob"), "Zm9vYg==");
    EXPECT_EQ(encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(encode("\xfb\xff\xbf"), "+/+/");
}

// The short lengths are the vectors' (encode sizes its text by them); here the 32-bit edge.
TEST(ScreenBase64, LengthIsFourPerStartedGroupOfThree) {
    EXPECT_EQ(base64Length(1610612733), 2147483644u);
    EXPECT_EQ(base64Length(1610612734), 2147483648u);
    EXPECT_FALSE(base64Length(SIZE_MAX));
}

}  // namespace
}  // namespace ovra::test
