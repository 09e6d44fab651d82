#include "platform/graphics/PlanarPixels.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace ovra {

namespace {
// Rows start on 64-byte boundaries so the scaler's vector code never takes its unaligned path.
constexpr size_t kAlign = 64;
size_t alignUp(size_t n) {
    return (n + kAlign - 1) / kAlign * kAlign;
}
}  // namespace

void PlanarPixels::Free::operator()(uint8_t* p) const {
    std::free(p);
}

PlanarPixels::PlanarPixels(size_t width, size_t height, Content content)
    : width_(width),
      height_(height),
      lumaStride_(alignUp(width)),
      chromaStride_(alignUp((width + 1) / 2)) {
    const size_t lumaBytes = lumaStride_ * height;
    const size_t chromaBytes = chromaStride_ * ((height + 1) / 2);
    offset_[0] = 0;
    offset_[1] = lumaBytes;
    offset_[2] = lumaBytes + chromaBytes;
    const size_t total = alignUp(lumaBytes + 2 * chromaBytes);
    block_.reset(static_cast<uint8_t*>(std::aligned_alloc(kAlign, total)));
    if (!block_) throw std::bad_alloc();
    if (content == Content::unset) return;
    std::memset(plane(0), 0, lumaBytes);
    std::memset(plane(1), 128, 2 * chromaBytes);
}

}  // namespace ovra
