// A PNG file read into an image, with libpng opened on first use. libpng rather than libspng:
// libpng16 is on every desktop that can run a portal (GTK, Qt and the portals themselves use
// it), so the route works without an extra package, and its simplified reader (three calls,
// errors returned instead of longjmp) is as short to use as libspng's.
#pragma once

#include <memory>
#include <string>

#include "platform/graphics/Image.h"

namespace ovra::portal {

// The picture as 8-bit sRGB pixels (rgb, any alpha laid on black), or null with `why` set to one
// line naming the file or the missing library.
std::shared_ptr<Image> readPngPicture(const std::string& path, std::string& why);

}  // namespace ovra::portal
