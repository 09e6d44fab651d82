// How large the screenshot is encoded: displays wider than the limit are reduced to it.
#pragma once

#include <cstddef>

namespace ovra {

inline constexpr size_t kScreenshotWidthLimit = 1920;

struct PixelSize {
    size_t width = 0;
    size_t height = 0;
    bool operator==(const PixelSize&) const = default;
};

// Only the width is compared with the limit: a tall portrait display stays as it is.
bool needsReduction(PixelSize image);

// The reduced size: scale = limit / width, each side multiplied by it and truncated, all in
// double precision. The product can fall a hair below the limit, so some widths (2148, 2940)
// come out at 1919; that is kept, not rounded away. The height is at least one row.
PixelSize reducedSize(PixelSize image);

}  // namespace ovra
