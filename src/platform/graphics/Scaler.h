// One scaler for one geometry: a packed or planar source scaled into full-range YCbCr 4:2:0, so
// the JPEG encoder needs no conversion of its own. Packed sources that libyuv can convert are
// converted at full size first and their planes scaled by libswscale; the others go through
// libswscale in one step. libswscale is opened on first use, not linked.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/graphics/Image.h"

struct SwsContext;

namespace ovra {

class PlanarPixels;
enum class InterpolationQuality : int;

struct ScalerKey {
    size_t sourceWidth = 0;
    size_t sourceHeight = 0;
    PixelFormat sourceFormat = PixelFormat::rgbx;
    size_t targetWidth = 0;
    size_t targetHeight = 0;
    int filter = 0;
    // The cubic's C parameter (B is 0): 0.75, sharper than libswscale's 0.6, keeps small text
    // closer to a Lanczos-3 reduction (about 41 dB against 39.5 on photo and text) at no cost.
    double bicubicC = 0.75;
    // Convert with libyuv first where it can; false scales straight from RGB with libswscale.
    bool convertFirst = true;
    bool operator==(const ScalerKey&) const = default;
};

// The libswscale filter for an interpolation quality: high is bicubic, measured the best trade
// of speed, closeness to Lanczos-3 and freedom from aliasing (bench/screen_scaler.cpp).
int scalerFilterFor(InterpolationQuality quality);

class Scaler {
  public:
    // Null when libswscale cannot be opened or refuses the geometry or the format. `threads` 0:
    // one slice thread per core, at most four.
    static std::unique_ptr<Scaler> create(const ScalerKey& key, int threads = 0);
    ~Scaler();
    Scaler(const Scaler&) = delete;
    Scaler& operator=(const Scaler&) = delete;

    const ScalerKey& key() const { return key_; }
    // Scales `source` (of the key's geometry and format) into `target`; false on failure.
    bool scale(const Image& source, PlanarPixels& target);

  private:
    Scaler(const ScalerKey& key, SwsContext* context, bool staged, int threads)
        : key_(key), context_(context), staged_(staged), threads_(threads) {}
    bool scalePlanesOrPixels(const Image& source, PlanarPixels& target);

    ScalerKey key_;
    SwsContext* context_;
    bool staged_;
    int threads_;
};

}  // namespace ovra
