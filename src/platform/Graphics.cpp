#include "platform/Graphics.h"

#include "platform/Platform.h"

namespace ovra {

Graphics& Platform::graphics() {
    static Graphics* shared = new Graphics;
    return *shared;
}

}  // namespace ovra
