// The one-shot screenshot behind ov_capture_screen.
#pragma once

#include <cstdint>

namespace ovra {

// 0 with a Base64 JPEG block stored through outBuf/outLen; 1, storing nothing, on failure.
int32_t runScreenCapture(uint8_t** outBuf, int32_t* outLen);

}  // namespace ovra
