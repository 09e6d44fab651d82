// The portal route as the screenshot's display, captured through ov_capture_screen so the usual
// downscale and JPEG follow.
#pragma once

#include <memory>

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

struct PortalHost {
    PortalHost() { installPlatform(std::make_shared<PortalPlatform>()); }
    ~PortalHost() { installPlatform(nullptr); }
    static Shot capture() { return takeShot(ov_capture_screen, ov_free_buffer); }
};

}  // namespace ovra::test
