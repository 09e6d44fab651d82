#include "platform/portal/PngPicture.h"

#include <png.h>

#include <mutex>

#include "platform/SharedLibrary.h"

namespace ovra::portal {
namespace {

struct PngLibrary {
    decltype(&png_image_begin_read_from_file) beginRead = nullptr;
    decltype(&png_image_finish_read) finishRead = nullptr;
    decltype(&png_image_free) free = nullptr;
};

const PngLibrary* pngLibrary(std::string& error) {
    static std::once_flag once;
    static PngLibrary* table = nullptr;
    static std::string* failure = new std::string;
    std::call_once(once, [] {
        auto* t = new PngLibrary;
        if (openSharedLibrary("libpng16.so.16",
                              {symbolSlot("png_image_begin_read_from_file", t->beginRead),
                               symbolSlot("png_image_finish_read", t->finishRead),
                               symbolSlot("png_image_free", t->free)},
                              *failure))
            table = t;
        else
            delete t;
    });
    if (!table) error = *failure;
    return table;
}

// Larger than any screen today; keeps a corrupt header from asking for gigabytes.
constexpr png_uint_32 kMaxSide = 32768;

}  // namespace

std::shared_ptr<Image> readPngPicture(const std::string& path, std::string& why) {
    const PngLibrary* png = pngLibrary(why);
    if (!png) return nullptr;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png->beginRead(&image, path.c_str())) {
        why = "cannot read " + path + ": " + image.message;
        png->free(&image);
        return nullptr;
    }
    if (image.width == 0 || image.height == 0 || image.width > kMaxSide ||
        image.height > kMaxSide) {
        why = "unusable picture size " + std::to_string(image.width) + "x" +
              std::to_string(image.height) + " in " + path;
        png->free(&image);
        return nullptr;
    }
    image.format = PNG_FORMAT_RGB;
    const size_t stride = PNG_IMAGE_ROW_STRIDE(image);
    // Zeroed: a picture with alpha is laid onto what the buffer holds, black here.
    auto pixels = std::make_shared<uint8_t[]>(stride * image.height);
    if (!png->finishRead(&image, nullptr, pixels.get(), 0, nullptr)) {
        why = "cannot decode " + path + ": " + image.message;
        png->free(&image);
        return nullptr;
    }
    const ImagePlane plane{pixels.get(), stride};
    return std::make_shared<Image>(
        image.width, image.height, PixelFormat::rgb, std::array<ImagePlane, 3>{plane, {}, {}},
        std::make_shared<ColorSpace>(ColorSpace::sRGBName), std::move(pixels));
}

}  // namespace ovra::portal
