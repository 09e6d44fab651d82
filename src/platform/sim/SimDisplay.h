// Simulated display and graphics. The display shows a scripted picture of coloured blocks in any
// packed pixel format; the graphics are the real ones, with every call journaled and each call
// that can fail failing on demand (SimJournal::failNext with the call's name).
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/Display.h"
#include "platform/Graphics.h"
#include "platform/sim/SimJournal.h"

namespace ovra::sim {

struct SimRgb {
    uint8_t r = 0, g = 0, b = 0;
    bool operator==(const SimRgb&) const = default;
};

struct SimBlock {
    size_t x = 0, y = 0, width = 0, height = 0;
    SimRgb color;
};

struct SimPicture {
    size_t width = 2880;
    size_t height = 1800;
    PixelFormat format = PixelFormat::bgrx;
    bool hasColorSpace = true;
    SimRgb background{40, 40, 40};
    std::vector<SimBlock> blocks;

    // The colour shown at (x, y): the last block that covers it, else the background.
    SimRgb colorAt(size_t x, size_t y) const;
};

class SimDisplay : public Display {
  public:
    static constexpr DisplayID kMainDisplay = 1;

    explicit SimDisplay(SimJournal& journal) : journal_(journal) {}

    // What the display shows from now on.
    void show(SimPicture picture);
    SimPicture picture() const;

    DisplayID mainDisplayID() override;
    std::shared_ptr<Image> createDisplayImage(DisplayID display) override;

  private:
    SimJournal& journal_;
    mutable std::mutex mutex_;
    SimPicture picture_;
    std::shared_ptr<const std::vector<uint8_t>> pixels_;  // built on first use
};

class SimGraphics : public Graphics {
  public:
    explicit SimGraphics(SimJournal& journal) : journal_(journal) {}

    // The next finalize succeeds with a JPEG reported as `bytes` long, held in reserved but
    // untouched memory, so a result too large to report can be made without filling gigabytes.
    void makeNextJpegOversized(size_t bytes);

    std::shared_ptr<ColorSpace> createColorSpaceWithName(const std::string& name) override;
    std::shared_ptr<BitmapContext> createBitmapContext(size_t width, size_t height,
                                                       size_t bitsPerComponent, size_t bytesPerRow,
                                                       std::shared_ptr<ColorSpace> colorSpace,
                                                       uint32_t bitmapInfo) override;
    void setInterpolationQuality(BitmapContext& context, InterpolationQuality quality) override;
    void drawImage(BitmapContext& context, const Image& image, Rect rect, bool tiled) override;
    std::shared_ptr<Image> createImageOfContext(BitmapContext& context) override;
    std::shared_ptr<ImageDestination> createImageDestination(std::shared_ptr<MutableData> data,
                                                             const std::string& type,
                                                             size_t count) override;
    void addImage(ImageDestination& destination, std::shared_ptr<Image> image,
                  const ImageProperties& properties) override;
    bool finalize(ImageDestination& destination) override;

  private:
    SimJournal& journal_;
    std::mutex mutex_;
    size_t oversizedJpegBytes_ = 0;
};

}  // namespace ovra::sim
