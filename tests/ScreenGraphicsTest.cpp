// The real graphics facilities behind the seam.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "ScreenJpeg.h"
#include "platform/Graphics.h"
#include "platform/graphics/FullRangeYuv.h"
#include "platform/graphics/JpegEncoder.h"
#include "platform/graphics/PlanarPixels.h"
#include "platform/graphics/ScalerPool.h"
#include "platform/x11/SegmentFit.h"
#include "support/AllocationCounter.h"

namespace ovra::test {
namespace {

std::shared_ptr<Image> packedImage(size_t w, size_t h, PixelFormat f,
                                   const std::function<Rgb(size_t, size_t)>& color) {
    auto pixels = std::make_shared<std::vector<uint8_t>>(w * h * 4);
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) {
            const Rgb c = color(x, y);
            uint8_t* p = &(*pixels)[(y * w + x) * 4];
            p[0] = uint8_t(c.r), p[1] = uint8_t(c.g), p[2] = uint8_t(c.b), p[3] = 255;
        }
    return std::make_shared<Image>(w, h, f, std::array<ImagePlane, 3>{{{pixels->data(), w * 4}}},
                                   std::make_shared<ColorSpace>(ColorSpace::sRGBName), pixels);
}

std::shared_ptr<Image> scaled(Graphics& g, const Image& source, size_t w, size_t h,
                              InterpolationQuality q) {
    auto context = g.createBitmapContext(w, h, 8, 0, source.colorSpace(), 1);
    g.setInterpolationQuality(*context, q);
    g.drawImage(*context, source, {0, 0, double(w), double(h)}, false);
    return g.createImageOfContext(*context);
}

// Standard deviation of the luma plane away from the borders.
double lumaSpread(const Image& image) {
    double sum = 0, sum2 = 0, n = 0;
    const auto& y = image.plane(0);
    for (size_t row = 8; row + 8 < image.height(); ++row)
        for (size_t col = 8; col + 8 < image.width(); ++col) {
            const double v = y.data[row * y.bytesPerRow + col];
            sum += v, sum2 += v * v, ++n;
        }
    const double mean = sum / n;
    return std::sqrt(sum2 / n - mean * mean);
}

// Every pixel differs from its neighbours.
std::shared_ptr<Image> gradient(size_t w, size_t h) {
    return packedImage(w, h, PixelFormat::bgrx, [](size_t x, size_t y) {
        return Rgb{int(x * 3 % 256), int(y % 256), int((x + y) % 256)};
    });
}

// The first row of plane `i` whose first `width` bytes differ between the two, or -1.
long firstDifferentRow(const PlanarPixels& a, const PlanarPixels& b, size_t i, size_t width) {
    for (size_t row = 0; row < a.planeHeight(i); ++row) {
        const uint8_t* p = a.plane(i) + row * a.bytesPerRow(i);
        if (!std::equal(p, p + width, b.plane(i) + row * b.bytesPerRow(i))) return long(row);
    }
    return -1;
}

TEST(ScreenGraphics, HighQualityReductionOfOnePixelStripesDoesNotAlias) {
    Graphics g;
    auto stripes = packedImage(2880, 360, PixelFormat::rgbx, [](size_t x, size_t) {
        return x % 2 ? Rgb{255, 255, 255} : Rgb{0, 0, 0};
    });
    auto smooth = scaled(g, *stripes, 1920, 240, InterpolationQuality::high);
    auto nearest = scaled(g, *stripes, 1920, 240, InterpolationQuality::none);
    ASSERT_TRUE(smooth && nearest);
    // Stripes at this pitch cannot be shown at 2/3 size: a good filter turns them into an even
    // grey, a poor one into coarse bars (the nearest-pixel draw shows what aliasing measures).
    EXPECT_LT(lumaSpread(*smooth), 12.0);
    EXPECT_GT(lumaSpread(*nearest), 60.0);
}

// Screens are mostly flat areas, which the standard Huffman tables code poorly: the encoder
// builds tables for the picture, so it beats a baseline encoder at the same quality.
TEST(ScreenGraphics, JpegUsesTablesFittedToThePicture) {
    Graphics g;
    auto screen = packedImage(640, 400, PixelFormat::bgrx, [](size_t x, size_t y) {
        if (y < 40) return Rgb{30, 30, 120};
        return (x / 8 + y / 16) % 7 == 0 ? Rgb{20, 20, 20} : Rgb{245, 245, 245};
    });
    auto encodeAt = [&](double quality) {
        auto data = std::make_shared<MutableData>();
        auto d = g.createImageDestination(data, kJpegTypeIdentifier, 1);
        g.addImage(*d, screen, ImageProperties{quality});
        EXPECT_TRUE(g.finalize(*d));
        return data;
    };
    const auto data = encodeAt(0.5);
    EXPECT_LT(data->length(), encodeAt(0.9)->length());  // the quality is honoured

    tjhandle tj = tjInitCompress();
    unsigned char* baseline = nullptr;
    unsigned long baselineSize = 0;
    ASSERT_EQ(tjCompress2(tj, screen->plane(0).data, 640, 640 * 4, 400, TJPF_BGRX, &baseline,
                          &baselineSize, TJSAMP_420, 50, 0),
              0);
    tjFree(baseline);
    tjDestroy(tj);
    EXPECT_LT(double(data->length()), 0.9 * double(baselineSize));
}

// An odd height leaves the last band shorter than the others: its last row must still be written.
TEST(ScreenGraphics, ConversionOnSeveralThreadsCoversEveryRow) {
    for (size_t height : {64u, 99u, 1081u})
        for (int threads : {2, 3, 4}) {
            SCOPED_TRACE("height " + std::to_string(height) + ", " + std::to_string(threads) +
                         " threads");
            auto image = gradient(70, height);
            PlanarPixels one(70, height, PlanarPixels::Content::unset);
            PlanarPixels many(70, height, PlanarPixels::Content::unset);
            for (size_t i = 0; i < 3; ++i) {
                std::memset(one.plane(i), 7, one.bytesPerRow(i) * one.planeHeight(i));
                std::memset(many.plane(i), 9, many.bytesPerRow(i) * many.planeHeight(i));
            }
            ASSERT_TRUE(convertToFullRange420(*image, one, 1));
            ASSERT_TRUE(convertToFullRange420(*image, many, threads));
            for (size_t i = 0; i < 3; ++i)
                EXPECT_EQ(firstDifferentRow(one, many, i, i == 0 ? 70 : 35), -1) << "plane " << i;
            const uint8_t* last = one.plane(0) + (height - 1) * one.bytesPerRow(0);
            // First pixel of the last row: blue 0, green and red both the row number (the picture's
            // bytes are taken as B, G, R).
            EXPECT_NEAR(last[0], (0.587 + 0.299) * double((height - 1) % 256), 1.5);
        }
}

// A helper thread or its place that cannot be had is no reason to end the process: its band is
// done on the calling thread.
TEST(ScreenGraphics, ConversionSurvivesEveryRefusedAllocation) {
    auto image = gradient(70, 99);
    PlanarPixels expected(70, 99), got(70, 99);
    ASSERT_TRUE(convertToFullRange420(*image, expected, 1));
    for (long nth = 0;; ++nth) {
        std::memset(got.plane(0), 7, got.bytesPerRow(0) * got.planeHeight(0));
        bool ok = false, refused = false;
        {
            AllocationRefusal refusal(nth);
            ok = convertToFullRange420(*image, got, 4);
            refused = refusal.refused();
        }
        ASSERT_TRUE(!ok || firstDifferentRow(got, expected, 0, 70) == -1) << "allocation " << nth;
        if (!refused) break;
    }
}

// The encoder's block grows while it writes; an error after a growth (the file passing its
// limit, or memory refused) frees the block the encoder holds then, once, and leaves `out` as
// it was. Under AddressSanitizer a second free or a leak of the grown block shows.
TEST(ScreenGraphics, EncoderErrorAfterItsBlockGrewFreesItOnce) {
    const auto image = packedImage(640, 480, PixelFormat::bgrx, [](size_t x, size_t y) {
        const uint32_t v = uint32_t(x * 2654435761u ^ y * 40503u) * 2246822519u;
        return Rgb{int(v >> 24), int(v >> 16 & 255), int(v >> 8 & 255)};
    });
    MutableData whole;
    ASSERT_TRUE(encodeJpeg(*image, 50, whole));
    ASSERT_GT(whole.length(), 100u * 1024);  // its first block is 64 KiB
    const uint8_t kept[] = {1, 2, 3};
    MutableData out;
    out.append(kept, 3);
    EXPECT_FALSE(encodeJpeg(*image, 50, out, 100 * 1024));  // grows to 100 KiB, then fails
    ASSERT_EQ(out.length(), 3u);
    EXPECT_TRUE(std::equal(kept, kept + 3, out.bytes()));
    EXPECT_TRUE(encodeJpeg(*image, 50, out, whole.length() + 1));  // the least it fits in
    EXPECT_EQ(out.length(), whole.length());

    // Memory refused anywhere, in the growth among others (malloc is refused only where the
    // tests count it: not under the sanitizers, which own malloc).
    for (long nth = 0;; ++nth) {
        MutableData refusedOut;
        bool ok = false, refused = false;
        {
            AllocationRefusal refusal(nth);
            ok = encodeJpeg(*image, 50, refusedOut);
            refused = refusal.refused();
        }
        EXPECT_TRUE(!ok || refusedOut.length() == whole.length()) << nth;
        if (!refused) break;
    }
}

TEST(ScreenGraphics, ScalerPoolKeepsOnlyTheLatestGeometry) {
    ScalerPool pool;
    const ScalerKey huge{8192, 8192, PixelFormat::bgrx, 1920, 1920, 4};
    const ScalerKey normal{2880, 1800, PixelFormat::bgrx, 1920, 1200, 4};
    auto a = pool.take(huge), b = pool.take(huge);
    ASSERT_TRUE(a && b);
    pool.give(std::move(a));
    pool.give(std::move(b));
    EXPECT_EQ(pool.idleCount(), 2u);
    auto c = pool.take(normal);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->key(), normal);
    EXPECT_EQ(pool.idleCount(), 0u);
    pool.give(std::move(c));
    EXPECT_EQ(pool.idleCount(), 1u);
}

TEST(ScreenGraphics, SegmentKeptOnlyWhenItFitsTheGrab) {
    const size_t normal = 2880u * 1800 * 4, huge = 8192u * 8192 * 4;
    EXPECT_TRUE(x11::segmentFits(normal, normal));
    EXPECT_FALSE(x11::segmentFits(huge, normal));
    EXPECT_FALSE(x11::segmentFits(normal, huge));
    EXPECT_TRUE(x11::segmentFits(normal + normal / 4, normal));
    EXPECT_FALSE(x11::segmentFits(normal + normal / 4 + 1, normal));
}

}  // namespace
}  // namespace ovra::test
