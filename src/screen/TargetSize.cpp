#include "screen/TargetSize.h"

namespace ovra {

bool needsReduction(PixelSize image) {
    return image.width > kScreenshotWidthLimit;
}

PixelSize reducedSize(PixelSize image) {
    const double scale = double(kScreenshotWidthLimit) / double(image.width);
    const double width = scale * double(image.width);
    const double height = scale * double(image.height);
    return {size_t(width), size_t(height)};
}

}  // namespace ovra
