#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "OvraHelper.h"
#include "base/Log.h"
#include "screen/ScreenCapture.h"

extern "C" OV_EXPORT int32_t ov_capture_screen(uint8_t** outBuf, int32_t* outLen) {
    try {
        // Nothing could be handed over through a null pointer: fail before any work is done.
        if (!outBuf || !outLen) {
            ovra::logLine("Error: ov_capture_screen needs two non-null out-pointers\n");
            return 1;
        }
        return ovra::runScreenCapture(outBuf, outLen);
    } catch (const abi::__forced_unwind&) {
        throw;  // a host thread ended by pthread_exit or cancellation must unwind on through
    } catch (const std::bad_alloc&) {
        // A literal through fputs: composing a line could need the memory that was refused.
        std::fputs("Error: Out of memory while taking the screenshot\n", stderr);
        return 1;
    } catch (...) {
        std::fputs("Error: Screenshot failed\n", stderr);
        return 1;
    }
}

extern "C" OV_EXPORT void ov_free_buffer(uint8_t* buffer) {
    std::free(buffer);
}
