// Graphics facilities in the shape of CoreGraphics and ImageIO: colour spaces by name, a bitmap
// context that draws an image scaled into itself, an image of the context, and an image
// destination that writes a JPEG into a growable byte buffer. One real implementation is shared
// by every backend; the simulation overrides each call so that any of them can fail. No call
// throws: a refused allocation is a null result or a failed finalisation, as any other failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/graphics/Image.h"
#include "platform/graphics/MutableData.h"

namespace ovra {

enum class InterpolationQuality : int {
    defaultQuality = 0,
    none = 1,
    low = 2,
    high = 3,
    medium = 4
};

// Bitmap info: alpha last, colour premultiplied by alpha.
inline constexpr uint32_t kImageAlphaPremultipliedLast = 1;

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

class PlanarPixels;
class ScalerPool;

// The context keeps its pixels as full-range YCbCr 4:2:0 planes: its one consumer is the JPEG
// encoder, which takes them as they are, so the scaled frame is never converted again.
class BitmapContext {
  public:
    BitmapContext(size_t width, size_t height, size_t bitsPerComponent,
                  std::shared_ptr<ColorSpace> colorSpace, uint32_t bitmapInfo);
    ~BitmapContext();

    size_t width() const { return width_; }
    size_t height() const { return height_; }
    size_t bitsPerComponent() const { return bitsPerComponent_; }
    size_t bytesPerRow() const;
    uint32_t bitmapInfo() const { return bitmapInfo_; }
    const std::shared_ptr<ColorSpace>& colorSpace() const { return colorSpace_; }
    InterpolationQuality interpolationQuality() const { return quality_; }
    void setInterpolationQuality(InterpolationQuality q) { quality_ = q; }

    // Pixels to draw into: shared with an image made of the context, so a draw after that
    // first takes a fresh copy and the image keeps what it showed.
    PlanarPixels& pixelsForWriting();
    std::shared_ptr<const PlanarPixels> pixels() const { return pixels_; }

    // A draw that could not be done (no scaler, memory refused) leaves pixels that show nothing
    // of the image; no image is made of such a context, so the caller never encodes them.
    void markDrawFailed() { drawFailed_ = true; }
    bool drawFailed() const { return drawFailed_; }

  private:
    size_t width_;
    size_t height_;
    size_t bitsPerComponent_;
    std::shared_ptr<ColorSpace> colorSpace_;
    uint32_t bitmapInfo_;
    InterpolationQuality quality_ = InterpolationQuality::defaultQuality;
    std::shared_ptr<PlanarPixels> pixels_;
    bool drawFailed_ = false;
};

struct ImageProperties {
    // 0.0 (smallest) to 1.0 (best); the encoder's default when absent.
    std::optional<double> lossyCompressionQuality;
};

class ImageDestination {
  public:
    ImageDestination(std::shared_ptr<MutableData> data, std::string type, size_t count)
        : data_(std::move(data)), type_(std::move(type)), count_(count) {}

    const std::shared_ptr<MutableData>& data() const { return data_; }
    const std::string& type() const { return type_; }
    size_t count() const { return count_; }

    struct Entry {
        std::shared_ptr<Image> image;
        ImageProperties properties;
    };
    std::vector<Entry>& images() { return images_; }
    bool finalized() const { return finalized_; }
    void markFinalized() { finalized_ = true; }

  private:
    std::shared_ptr<MutableData> data_;
    std::string type_;
    size_t count_;
    std::vector<Entry> images_;
    bool finalized_ = false;
};

inline constexpr const char* kJpegTypeIdentifier = "public.jpeg";

class Graphics {
  public:
    Graphics();
    virtual ~Graphics();
    Graphics(const Graphics&) = delete;
    Graphics& operator=(const Graphics&) = delete;

    // A colour space by name (ColorSpace::sRGBName), or null for a name not known.
    virtual std::shared_ptr<ColorSpace> createColorSpaceWithName(const std::string& name);
    // A context with pixel memory of its own, or null: only 8 bits per component, bitmap info
    // kImageAlphaPremultipliedLast, bytes per row 0 (the context chooses) and a non-empty size
    // are supported.
    virtual std::shared_ptr<BitmapContext> createBitmapContext(
        size_t width, size_t height, size_t bitsPerComponent, size_t bytesPerRow,
        std::shared_ptr<ColorSpace> colorSpace, uint32_t bitmapInfo);
    virtual void setInterpolationQuality(BitmapContext& context, InterpolationQuality quality);
    // Scales the whole image into `rect` with the context's interpolation quality. Only the
    // context's full area, untiled, is supported; anything else leaves the context as it was.
    virtual void drawImage(BitmapContext& context, const Image& image, Rect rect, bool tiled);
    // An image of what the context holds now, or null (also after a draw that failed).
    virtual std::shared_ptr<Image> createImageOfContext(BitmapContext& context);

    // A destination that writes `count` images of `type` (only kJpegTypeIdentifier, one image)
    // into `data` when finalised, or null.
    virtual std::shared_ptr<ImageDestination> createImageDestination(
        std::shared_ptr<MutableData> data, const std::string& type, size_t count);
    virtual void addImage(ImageDestination& destination, std::shared_ptr<Image> image,
                          const ImageProperties& properties);
    // Encodes what was added; true once the complete file stands in the destination's data.
    virtual bool finalize(ImageDestination& destination);

  private:
    std::unique_ptr<ScalerPool> scalers_;
};

}  // namespace ovra
