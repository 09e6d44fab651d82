// The main display through the wlroots screen-copy protocol (sway, Hyprland, river, Wayfire,
// labwc).
#pragma once

#include <memory>
#include <string>

#include "platform/Display.h"

namespace ovra::wayland {

class ScreenCopyDisplay : public Display {
  public:
    // Whether the compositor offers screen copies; connects if not connected yet (the
    // connection is kept for the captures). `why` says why not.
    virtual bool offered(std::string& why) = 0;
};

// Connects to nothing yet. A failed capture writes one line saying why.
std::unique_ptr<ScreenCopyDisplay> makeScreenCopyDisplay();

}  // namespace ovra::wayland
