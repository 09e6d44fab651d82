// Whether an X server is XWayland: its root window is an empty stand-in, never the desktop.
#pragma once

#include "platform/x11/X11Connection.h"

namespace ovra::x11 {

// XWayland names its RandR outputs "XWAYLAND0", "XWAYLAND1", ...
bool isXWayland(X11Connection& connection);

}  // namespace ovra::x11
