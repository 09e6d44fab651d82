#include "screen/TargetSize.h"

#include <algorithm>

namespace ovra {

bool needsReduction(PixelSize image) {
    return image.width > kScreenshotWidthLimit;
}

PixelSize reducedSize(PixelSize image) {
    const double scale = double(kScreenshotWidthLimit) / double(image.width);
    const double width = scale * double(image.width);
    const double height = scale * double(image.height);
    // A very flat display (4000x1) would truncate to no rows at all; one row keeps it reducible.
    return {size_t(width), std::max<size_t>(1, size_t(height))};
}

}  // namespace ovra
