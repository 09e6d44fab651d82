// Which packed PixelFormat a server's pixel description amounts to: bits per pixel, the colour
// masks of the visual (as bits of the pixel's integer value) and the byte order of images.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/graphics/Image.h"

namespace ovra {

// Nothing for layouts without 8-bit, byte-aligned channels in 24 or 32 bits (16-bit colour,
// 30-bit colour, indexed visuals).
std::optional<PixelFormat> packedFormatFor(unsigned bitsPerPixel, uint32_t redMask,
                                           uint32_t greenMask, uint32_t blueMask,
                                           bool mostSignificantByteFirst);

}  // namespace ovra
