#include "platform/sim/SimDisplay.h"

#include <sys/mman.h>

#include <algorithm>
#include <sstream>

namespace ovra::sim {

namespace {

std::string sizeText(size_t w, size_t h) {
    return std::to_string(w) + "x" + std::to_string(h);
}

std::string number(double v) {
    std::ostringstream s;
    s << v;
    return s.str();
}

void put(uint8_t* p, PixelFormat format, SimRgb c) {
    switch (format) {
        case PixelFormat::rgbx:
            p[0] = c.r, p[1] = c.g, p[2] = c.b, p[3] = 0xff;
            break;
        case PixelFormat::bgrx:
            p[0] = c.b, p[1] = c.g, p[2] = c.r, p[3] = 0xff;
            break;
        case PixelFormat::xrgb:
            p[0] = 0xff, p[1] = c.r, p[2] = c.g, p[3] = c.b;
            break;
        case PixelFormat::xbgr:
            p[0] = 0xff, p[1] = c.b, p[2] = c.g, p[3] = c.r;
            break;
        case PixelFormat::rgb:
            p[0] = c.r, p[1] = c.g, p[2] = c.b;
            break;
        case PixelFormat::bgr:
            p[0] = c.b, p[1] = c.g, p[2] = c.r;
            break;
        case PixelFormat::yuv420:
            break;
    }
}

std::vector<uint8_t> render(const SimPicture& picture) {
    const size_t bpp = bytesPerPixel(picture.format);
    const size_t w = picture.width, h = picture.height;
    std::vector<uint8_t> pixels(w * h * bpp);
    auto fill = [&](size_t x0, size_t y0, size_t x1, size_t y1, SimRgb c) {
        for (size_t y = y0; y < std::min(y1, h); ++y)
            for (size_t x = x0; x < std::min(x1, w); ++x)
                put(&pixels[(y * w + x) * bpp], picture.format, c);
    };
    fill(0, 0, w, h, picture.background);
    for (const auto& b : picture.blocks) fill(b.x, b.y, b.x + b.width, b.y + b.height, b.color);
    return pixels;
}

void releaseMapping(uint8_t* block, size_t length) {
    munmap(block, length);
}

}  // namespace

SimRgb SimPicture::colorAt(size_t x, size_t y) const {
    for (auto it = blocks.rbegin(); it != blocks.rend(); ++it)
        if (x >= it->x && x < it->x + it->width && y >= it->y && y < it->y + it->height)
            return it->color;
    return background;
}

// --------------------------------------------------------------------------------- display

void SimDisplay::show(SimPicture picture) {
    std::lock_guard lock(mutex_);
    picture_ = std::move(picture);
    pixels_.reset();
}

SimPicture SimDisplay::picture() const {
    std::lock_guard lock(mutex_);
    return picture_;
}

DisplayID SimDisplay::mainDisplayID() {
    journal_.record("mainDisplayID -> " + std::to_string(kMainDisplay));
    return kMainDisplay;
}

std::shared_ptr<Image> SimDisplay::createDisplayImage(DisplayID display) {
    const std::string entry = "createDisplayImage " + std::to_string(display);
    if (journal_.takeFailure("createDisplayImage") || display != kMainDisplay) {
        journal_.record(entry + " -> null");
        return nullptr;
    }
    SimPicture picture;
    std::shared_ptr<const std::vector<uint8_t>> pixels;
    {
        std::lock_guard lock(mutex_);
        if (!pixels_) pixels_ = std::make_shared<const std::vector<uint8_t>>(render(picture_));
        picture = picture_;
        pixels = pixels_;
    }
    journal_.record(entry + " -> " + sizeText(picture.width, picture.height) + " " +
                    pixelFormatName(picture.format) +
                    (picture.hasColorSpace ? " sRGB" : " no-colour-space"));
    const ImagePlane plane{pixels->data(), picture.width * bytesPerPixel(picture.format)};
    auto colorSpace =
        picture.hasColorSpace ? std::make_shared<ColorSpace>(ColorSpace::sRGBName) : nullptr;
    return std::make_shared<Image>(picture.width, picture.height, picture.format,
                                   std::array<ImagePlane, 3>{plane, {}, {}}, std::move(colorSpace),
                                   pixels);
}

// -------------------------------------------------------------------------------- graphics

void SimGraphics::makeNextJpegOversized(size_t bytes) {
    std::lock_guard lock(mutex_);
    oversizedJpegBytes_ = bytes;
}

std::shared_ptr<ColorSpace> SimGraphics::createColorSpaceWithName(const std::string& name) {
    const std::string entry = "createColorSpaceWithName " + name;
    auto space = journal_.takeFailure("createColorSpaceWithName")
                     ? nullptr
                     : Graphics::createColorSpaceWithName(name);
    journal_.record(entry + (space ? "" : " -> null"));
    return space;
}

std::shared_ptr<BitmapContext> SimGraphics::createBitmapContext(
    size_t width, size_t height, size_t bitsPerComponent, size_t bytesPerRow,
    std::shared_ptr<ColorSpace> colorSpace, uint32_t bitmapInfo) {
    const std::string entry = "createBitmapContext " + sizeText(width, height) +
                              " bpc=" + std::to_string(bitsPerComponent) +
                              " bpr=" + std::to_string(bytesPerRow) +
                              " space=" + (colorSpace ? colorSpace->name() : "null") +
                              " info=" + std::to_string(bitmapInfo);
    auto context = journal_.takeFailure("createBitmapContext")
                       ? nullptr
                       : Graphics::createBitmapContext(width, height, bitsPerComponent, bytesPerRow,
                                                       std::move(colorSpace), bitmapInfo);
    journal_.record(entry + (context ? "" : " -> null"));
    return context;
}

void SimGraphics::setInterpolationQuality(BitmapContext& context, InterpolationQuality quality) {
    journal_.record("setInterpolationQuality " + std::to_string(int(quality)));
    Graphics::setInterpolationQuality(context, quality);
}

void SimGraphics::drawImage(BitmapContext& context, const Image& image, Rect rect, bool tiled) {
    journal_.record("drawImage " + sizeText(image.width(), image.height()) + " in {" +
                    number(rect.x) + "," + number(rect.y) + "," + number(rect.width) + "," +
                    number(rect.height) + "} tiled=" + (tiled ? "1" : "0"));
    // An arranged failure is a draw that cannot be done, as when no scaler can be had.
    if (journal_.takeFailure("drawImage"))
        context.markDrawFailed();
    else
        Graphics::drawImage(context, image, rect, tiled);
}

std::shared_ptr<Image> SimGraphics::createImageOfContext(BitmapContext& context) {
    const std::string entry = "createImageOfContext " + sizeText(context.width(), context.height());
    auto image = journal_.takeFailure("createImageOfContext")
                     ? nullptr
                     : Graphics::createImageOfContext(context);
    journal_.record(entry + (image ? "" : " -> null"));
    return image;
}

std::shared_ptr<ImageDestination> SimGraphics::createImageDestination(
    std::shared_ptr<MutableData> data, const std::string& type, size_t count) {
    const std::string entry = "createImageDestination " + type + " count=" + std::to_string(count);
    auto destination = journal_.takeFailure("createImageDestination")
                           ? nullptr
                           : Graphics::createImageDestination(std::move(data), type, count);
    journal_.record(entry + (destination ? "" : " -> null"));
    return destination;
}

void SimGraphics::addImage(ImageDestination& destination, std::shared_ptr<Image> image,
                           const ImageProperties& properties) {
    journal_.record(
        "addImage " + (image ? sizeText(image->width(), image->height()) : std::string("null")) +
        " quality=" +
        (properties.lossyCompressionQuality ? number(*properties.lossyCompressionQuality)
                                            : std::string("none")));
    Graphics::addImage(destination, std::move(image), properties);
}

bool SimGraphics::finalize(ImageDestination& destination) {
    size_t oversized = 0;
    {
        std::lock_guard lock(mutex_);
        std::swap(oversized, oversizedJpegBytes_);
    }
    bool ok = false;
    if (journal_.takeFailure("finalize")) {
        ok = false;
    } else if (oversized) {
        void* block =
            mmap(nullptr, oversized, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        ok = block != MAP_FAILED;
        if (ok) destination.data()->adopt(static_cast<uint8_t*>(block), oversized, releaseMapping);
    } else {
        ok = Graphics::finalize(destination);
    }
    journal_.record(std::string("finalize -> ") + (ok ? "true" : "false"));
    return ok;
}

}  // namespace ovra::sim
