#include "platform/graphics/PixelLayout.h"

namespace ovra {

namespace {

// The byte, counted from the pixel's first byte in memory, that holds an 8-bit channel.
std::optional<unsigned> byteOf(uint32_t mask, unsigned bytes, bool msbFirst) {
    for (unsigned shift = 0; shift < bytes * 8; shift += 8)
        if (mask == 0xffu << shift) return msbFirst ? bytes - 1 - shift / 8 : shift / 8;
    return std::nullopt;
}

}  // namespace

std::optional<PixelFormat> packedFormatFor(unsigned bitsPerPixel, uint32_t redMask,
                                           uint32_t greenMask, uint32_t blueMask,
                                           bool mostSignificantByteFirst) {
    if (bitsPerPixel != 24 && bitsPerPixel != 32) return std::nullopt;
    const unsigned bytes = bitsPerPixel / 8;
    const auto r = byteOf(redMask, bytes, mostSignificantByteFirst);
    const auto g = byteOf(greenMask, bytes, mostSignificantByteFirst);
    const auto b = byteOf(blueMask, bytes, mostSignificantByteFirst);
    if (!r || !g || !b) return std::nullopt;
    struct Known {
        unsigned bytes, r, g, b;
        PixelFormat format;
    };
    constexpr Known known[] = {
        {4, 0, 1, 2, PixelFormat::rgbx}, {4, 2, 1, 0, PixelFormat::bgrx},
        {4, 1, 2, 3, PixelFormat::xrgb}, {4, 3, 2, 1, PixelFormat::xbgr},
        {3, 0, 1, 2, PixelFormat::rgb},  {3, 2, 1, 0, PixelFormat::bgr},
    };
    for (const auto& k : known)
        if (k.bytes == bytes && k.r == *r && k.g == *g && k.b == *b) return k.format;
    return std::nullopt;
}

}  // namespace ovra
