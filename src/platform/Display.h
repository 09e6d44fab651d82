// The displays in the shape of CoreGraphics: the main display's identifier and an image of a
// display's current contents.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/graphics/Image.h"

namespace ovra {

using DisplayID = uint32_t;

class Display {
  public:
    virtual ~Display() = default;
    virtual DisplayID mainDisplayID() = 0;
    // An image of what the display shows now, owned by the caller, or null. Safe to call from
    // several threads at once.
    virtual std::shared_ptr<Image> createDisplayImage(DisplayID display) = 0;
};

}  // namespace ovra
