// The main display through the X server named by DISPLAY.
#pragma once

#include <memory>

#include "platform/Display.h"
#include "platform/ScreenRoute.h"

namespace ovra::x11 {

class X11Display : public Display {
  public:
    // What answers at DISPLAY; connects if not connected yet (the connection is kept for the
    // captures).
    virtual XServerKind serverKind() = 0;
};

// Connects to nothing yet: the connection is made on the first capture.
std::unique_ptr<X11Display> makeX11Display();

}  // namespace ovra::x11
