// The main display through the desktop portal's Screenshot (org.freedesktop.portal.Screenshot)
// on the session bus: the route for Wayland desktops without wlroots' screen-copy (GNOME, KDE,
// and any desktop running xdg-desktop-portal with a Screenshot backend).
#pragma once

#include <memory>

#include "platform/Display.h"

namespace ovra::portal {

// Connects to nothing yet; libdbus and libpng are opened on the first capture. Each capture
// waits at most 5 s for the portal and writes one line saying why it failed.
std::unique_ptr<Display> makePortalDisplay();

}  // namespace ovra::portal
