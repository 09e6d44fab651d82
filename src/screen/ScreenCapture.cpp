#include "screen/ScreenCapture.h"

#include "interface/Log.h"

namespace ovra {

int32_t runScreenCapture(uint8_t**, int32_t*) {
    logLine("Error: CGDisplayCreateImage returned nil\n");
    return 1;
}

}  // namespace ovra
