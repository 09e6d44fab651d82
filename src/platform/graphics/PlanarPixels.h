// Full-range YCbCr 4:2:0 pixels in one aligned block: a full-size luma plane and two chroma
// planes of half the width and height, rounded up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace ovra {

class PlanarPixels {
  public:
    enum class Content { black, unset };
    // Throws std::bad_alloc when the block cannot be had. `unset` leaves the memory as it comes,
    // for a caller that writes every pixel anyway.
    PlanarPixels(size_t width, size_t height, Content content = Content::black);

    size_t width() const { return width_; }
    size_t height() const { return height_; }
    uint8_t* plane(size_t i) { return block_.get() + offset_[i]; }
    const uint8_t* plane(size_t i) const { return block_.get() + offset_[i]; }
    size_t bytesPerRow(size_t i) const { return i == 0 ? lumaStride_ : chromaStride_; }
    size_t planeHeight(size_t i) const { return i == 0 ? height_ : (height_ + 1) / 2; }

  private:
    struct Free {
        void operator()(uint8_t* p) const;
    };
    size_t width_;
    size_t height_;
    size_t lumaStride_;
    size_t chromaStride_;
    size_t offset_[3];
    std::unique_ptr<uint8_t, Free> block_;
};

}  // namespace ovra
