// The portal route as the screenshot's display, captured through ov_capture_screen so the usual
// downscale and JPEG follow, and the test picture written as a PNG.
#pragma once

#include <png.h>

#include <memory>
#include <string>
#include <vector>

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

    Shot capture() {
        Shot s = takeShot(ov_capture_screen);
        if (s.result == 0) ov_free_buffer(s.buffer);
        s.buffer = nullptr;
        return s;
    }
};

// The quarter blocks on dark grey, as an RGB PNG.
inline bool writeQuarterPng(const std::string& path, int w, int h) {
    std::vector<uint8_t> rgb(size_t(w) * size_t(h) * 3, 40);
    for (const Block& b : quarterBlocks(w, h))
        for (int y = b.y; y < b.y + b.height; ++y)
            for (int x = b.x; x < b.x + b.width; ++x) {
                uint8_t* p = &rgb[(size_t(y) * size_t(w) + size_t(x)) * 3];
                p[0] = uint8_t(b.color.r), p[1] = uint8_t(b.color.g), p[2] = uint8_t(b.color.b);
            }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(w);
    image.height = png_uint_32(h);
    image.format = PNG_FORMAT_RGB;
    return png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 0, nullptr) != 0;
}

}  // namespace ovra::test
