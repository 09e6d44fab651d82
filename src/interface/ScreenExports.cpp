#include <cxxabi.h>

#include <cstdlib>

#include "OvraHelper.h"
#include "interface/Log.h"
#include "screen/ScreenCapture.h"

extern "C" OV_EXPORT int32_t ov_capture_screen(uint8_t** outBuf, int32_t* outLen) {
    try {
        return ovra::runScreenCapture(outBuf, outLen);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return 1;
    }
}

extern "C" OV_EXPORT void ov_free_buffer(uint8_t* buffer) {
    std::free(buffer);
}
