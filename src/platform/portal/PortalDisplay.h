// The main display through the desktop portal (org.freedesktop.portal.Screenshot).
#pragma once

#include <memory>

#include "platform/Display.h"

namespace ovra::portal {

std::unique_ptr<Display> makePortalDisplay();

}  // namespace ovra::portal
