// Packed RGB to full-range BT.601 YCbCr 4:2:0 (the JPEG colour space) at the same size, through
// libyuv's vector code. Converting first and scaling the planes after costs about a quarter of
// what libswscale takes to scale straight from RGB, whose colour conversion is the slow part
// (bench/screen_scaler.cpp).
#pragma once

#include "platform/graphics/Image.h"

namespace ovra {

class PlanarPixels;

bool convertsToFullRange420(PixelFormat format);

// `out` has the image's size. Splits the rows between `threads` threads; false for a format
// that convertsToFullRange420 refuses.
bool convertToFullRange420(const Image& image, PlanarPixels& out, int threads);

}  // namespace ovra
