// The main display's image. (Placeholder shape; the screenshot work fills it in.)
#pragma once

#include <memory>

namespace ovra {

class Image;

class Display {
public:
    virtual ~Display() = default;
    // An image of the main display, or nullptr.
    virtual std::shared_ptr<Image> createMainDisplayImage() = 0;
};

}  // namespace ovra
