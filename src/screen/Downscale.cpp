#include "screen/Downscale.h"

#include "platform/Graphics.h"
#include "screen/TargetSize.h"

namespace ovra {

std::shared_ptr<Image> imageForEncoding(Graphics& graphics, std::shared_ptr<Image> displayImage) {
    const PixelSize size{displayImage->width(), displayImage->height()};
    if (!needsReduction(size)) return displayImage;
    const PixelSize target = reducedSize(size);

    auto colorSpace = displayImage->colorSpace();
    if (!colorSpace) colorSpace = graphics.createColorSpaceWithName(ColorSpace::sRGBName);
    if (!colorSpace) return displayImage;

    auto context = graphics.createBitmapContext(target.width, target.height, 8, 0, colorSpace,
                                                kImageAlphaPremultipliedLast);
    if (!context) return displayImage;
    graphics.setInterpolationQuality(*context, InterpolationQuality::high);
    graphics.drawImage(*context, *displayImage,
                       Rect{0, 0, double(target.width), double(target.height)}, false);

    auto scaled = graphics.createImageOfContext(*context);
    return scaled ? scaled : displayImage;
}

}  // namespace ovra
