// The main display through the X server named by DISPLAY.
#pragma once

#include <memory>

#include "platform/Display.h"

namespace ovra::x11 {

// Connects to nothing yet: the connection is made on the first capture.
std::unique_ptr<Display> makeX11Display();

}  // namespace ovra::x11
