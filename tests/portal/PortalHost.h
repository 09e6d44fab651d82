// The portal route as the screenshot's display, captured through ov_capture_screen so the usual
// downscale and JPEG follow, and the test picture written as a PNG.
#pragma once

#include <png.h>

#include <memory>
#include <string>

#include "OvraHelper.h"
#include "ScreenJpeg.h"
#include "platform/portal/PortalDisplay.h"
#include "platform/sim/SimPlatform.h"

namespace ovra::test {

class PortalPlatform : public sim::SimPlatform {
  public:
    Display& display() override { return *display_; }

  private:
    std::unique_ptr<Display> display_ = portal::makePortalDisplay();
};

// Installs a platform whose screen is the portal route for the life of the object.
struct PortalHost {
    PortalHost() { installPlatform(std::make_shared<PortalPlatform>()); }
    ~PortalHost() { installPlatform(nullptr); }
    static Shot capture() { return takeShot(ov_capture_screen, ov_free_buffer); }
};

// The quarter blocks and strokes on dark grey, as an RGB PNG.
inline bool writeStrokedPng(const std::string& path, int w, int h) {
    const auto rgb = paintRgb(w, h, {40, 40, 40}, blocksWithStrokes(w, h));
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(w);
    image.height = png_uint_32(h);
    image.format = PNG_FORMAT_RGB;
    return png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 0, nullptr) != 0;
}

}  // namespace ovra::test
