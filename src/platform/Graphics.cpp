#include "platform/Graphics.h"

#include <algorithm>
#include <new>

#include "platform/Platform.h"
#include "platform/graphics/JpegEncoder.h"
#include "platform/graphics/PlanarPixels.h"
#include "platform/graphics/ScalerPool.h"

namespace ovra {

namespace {
// JPEG cannot hold more than this in either direction; a larger context could not be encoded.
constexpr size_t kMaxDimension = 65500;
}  // namespace

BitmapContext::BitmapContext(size_t width, size_t height, size_t bitsPerComponent,
                             std::shared_ptr<ColorSpace> colorSpace, uint32_t bitmapInfo)
    : width_(width),
      height_(height),
      bitsPerComponent_(bitsPerComponent),
      colorSpace_(std::move(colorSpace)),
      bitmapInfo_(bitmapInfo),
      pixels_(std::make_shared<PlanarPixels>(width, height)) {}

BitmapContext::~BitmapContext() = default;

size_t BitmapContext::bytesPerRow() const {
    return pixels_->bytesPerRow(0);
}

PlanarPixels& BitmapContext::pixelsForWriting() {
    if (pixels_.use_count() > 1) {
        auto copy = std::make_shared<PlanarPixels>(width_, height_);
        for (size_t i = 0; i < 3; ++i)
            std::copy_n(pixels_->plane(i), pixels_->bytesPerRow(i) * pixels_->planeHeight(i),
                        copy->plane(i));
        pixels_ = std::move(copy);
    }
    return *pixels_;
}

Graphics::Graphics() : scalers_(std::make_unique<ScalerPool>()) {}
Graphics::~Graphics() = default;

std::shared_ptr<ColorSpace> Graphics::createColorSpaceWithName(const std::string& name) {
    if (name != ColorSpace::sRGBName) return nullptr;
    try {
        return std::make_shared<ColorSpace>(name);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

std::shared_ptr<BitmapContext> Graphics::createBitmapContext(size_t width, size_t height,
                                                             size_t bitsPerComponent,
                                                             size_t bytesPerRow,
                                                             std::shared_ptr<ColorSpace> colorSpace,
                                                             uint32_t bitmapInfo) {
    if (width == 0 || height == 0 || width > kMaxDimension || height > kMaxDimension ||
        bitsPerComponent != 8 || bytesPerRow != 0 || !colorSpace ||
        bitmapInfo != kImageAlphaPremultipliedLast)
        return nullptr;
    try {
        return std::make_shared<BitmapContext>(width, height, bitsPerComponent,
                                               std::move(colorSpace), bitmapInfo);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void Graphics::setInterpolationQuality(BitmapContext& context, InterpolationQuality quality) {
    context.setInterpolationQuality(quality);
}

void Graphics::drawImage(BitmapContext& context, const Image& image, Rect rect, bool tiled) {
    const bool wholeContext = rect.x == 0 && rect.y == 0 && rect.width == double(context.width()) &&
                              rect.height == double(context.height());
    if (tiled || !wholeContext || image.width() == 0 || image.height() == 0) return;
    const ScalerKey key{image.width(),       image.height(),
                        image.pixelFormat(), context.width(),
                        context.height(),    scalerFilterFor(context.interpolationQuality())};
    std::unique_ptr<Scaler> scaler;
    bool drawn = false;
    try {
        scaler = scalers_->take(key);
        drawn = scaler && scaler->scale(image, context.pixelsForWriting());
    } catch (const std::bad_alloc&) {
    }
    if (!drawn) context.markDrawFailed();
    try {
        scalers_->give(std::move(scaler));
    } catch (const std::bad_alloc&) {  // the scaler is simply not kept
    }
}

std::shared_ptr<Image> Graphics::createImageOfContext(BitmapContext& context) {
    if (context.drawFailed()) return nullptr;
    auto pixels = context.pixels();
    std::array<ImagePlane, 3> planes;
    for (size_t i = 0; i < 3; ++i) planes[i] = {pixels->plane(i), pixels->bytesPerRow(i)};
    try {
        return std::make_shared<Image>(context.width(), context.height(), PixelFormat::yuv420,
                                       planes, context.colorSpace(), std::move(pixels));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

std::shared_ptr<ImageDestination> Graphics::createImageDestination(
    std::shared_ptr<MutableData> data, const std::string& type, size_t count) {
    if (!data || type != kJpegTypeIdentifier || count != 1) return nullptr;
    try {
        return std::make_shared<ImageDestination>(std::move(data), type, count);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// An image that cannot be added (memory refused) is missing at finalisation, which then fails.
void Graphics::addImage(ImageDestination& destination, std::shared_ptr<Image> image,
                        const ImageProperties& properties) {
    if (!image || destination.finalized() || destination.images().size() >= destination.count())
        return;
    try {
        destination.images().push_back({std::move(image), properties});
    } catch (const std::bad_alloc&) {
    }
}

bool Graphics::finalize(ImageDestination& destination) {
    if (destination.finalized() || destination.images().size() != destination.count()) return false;
    destination.markFinalized();
    const auto& entry = destination.images().front();
    const int quality = jpegQualityFor(entry.properties.lossyCompressionQuality.value_or(0.75));
    try {
        return encodeJpeg(*entry.image, quality, *destination.data());
    } catch (const std::bad_alloc&) {
        return false;
    }
}

Graphics& Platform::graphics() {
    static Graphics* shared = new Graphics;
    return *shared;
}

}  // namespace ovra
