// Baseline JPEG through libjpeg-turbo: 4:2:0 chroma and optimised Huffman tables; packed RGB
// sources are converted by the encoder, 4:2:0 planes compressed as they are.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/graphics/Image.h"
#include "platform/graphics/MutableData.h"

namespace ovra {

// libjpeg's quality scale (1..100) for a 0..1 lossy-compression quality.
int jpegQualityFor(double lossyCompressionQuality);

// Encodes `image` into `out`, replacing what it held; false when the encoder refuses it, memory
// is refused or the file reaches `maxBytes` (libjpeg asks for room before it knows whether more
// bytes come).
bool encodeJpeg(const Image& image, int quality, MutableData& out, size_t maxBytes = SIZE_MAX);

}  // namespace ovra
