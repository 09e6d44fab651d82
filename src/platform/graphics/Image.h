// Images as the graphics facilities see them: pixels that somebody else owns (a shared memory
// segment, a server reply, a context's planes), described well enough to scale or encode them
// in place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ovra {

class ColorSpace {
  public:
    static constexpr const char* sRGBName = "sRGB";
    explicit ColorSpace(std::string name) : name_(std::move(name)) {}
    const std::string& name() const { return name_; }

  private:
    std::string name_;
};

// Byte order in memory of one pixel; "x" is a byte that is ignored (padding or alpha).
enum class PixelFormat { rgbx, bgrx, xrgb, xbgr, rgb, bgr, yuv420 };

// Bytes per pixel of a packed format; 0 for the planar one.
size_t bytesPerPixel(PixelFormat format);
const char* pixelFormatName(PixelFormat format);

struct ImagePlane {
    const uint8_t* data = nullptr;
    size_t bytesPerRow = 0;
};

class Image {
  public:
    // `planes` has one plane for a packed format, three (Y, Cb, Cr, full-range) for yuv420.
    // `storage` keeps the pixel memory alive for as long as the image lives.
    Image(size_t width, size_t height, PixelFormat format, std::array<ImagePlane, 3> planes,
          std::shared_ptr<ColorSpace> colorSpace, std::shared_ptr<const void> storage)
        : width_(width),
          height_(height),
          format_(format),
          planes_(planes),
          colorSpace_(std::move(colorSpace)),
          storage_(std::move(storage)) {}

    size_t width() const { return width_; }
    size_t height() const { return height_; }
    PixelFormat pixelFormat() const { return format_; }
    const ImagePlane& plane(size_t i) const { return planes_.at(i); }
    // Not owned by the caller; may be null.
    const std::shared_ptr<ColorSpace>& colorSpace() const { return colorSpace_; }

  private:
    size_t width_;
    size_t height_;
    PixelFormat format_;
    std::array<ImagePlane, 3> planes_;
    std::shared_ptr<ColorSpace> colorSpace_;
    std::shared_ptr<const void> storage_;
};

}  // namespace ovra
