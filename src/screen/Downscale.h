// The picture that gets encoded: the display image itself, or a copy reduced to the width limit
// when the display is wider. Every step that cannot be done falls back, silently, to the display
// image at its own size.
#pragma once

#include <memory>

namespace ovra {

class Graphics;
class Image;

std::shared_ptr<Image> imageForEncoding(Graphics& graphics, std::shared_ptr<Image> displayImage);

}  // namespace ovra
