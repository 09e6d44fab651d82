#include "screen/HandOver.h"

#include <cstdlib>

#include "base/Log.h"
#include "platform/graphics/MutableData.h"
#include "screen/Base64.h"

namespace ovra {

int32_t handOverAsBase64(const MutableData& jpeg, uint8_t** outBuf, int32_t* outLen) {
    const auto length = base64Length(jpeg.length());
    if (!length || *length > size_t(INT32_MAX)) {
        logLine("Error: Screenshot text too long for a 32-bit length\n");
        return 1;
    }
    // The text is pure ASCII, so its UTF-8 bytes are the encoder's output as it stands: it is
    // written once, straight into the block the host receives. malloc(0) may give null for an
    // empty text, which is still a valid block for ov_free_buffer.
    auto* block = static_cast<uint8_t*>(std::malloc(*length));
    if (!block && *length != 0) {
        logLine("Error: Failed to allocate the screenshot text\n");
        return 1;
    }
    base64Encode(jpeg.bytes(), jpeg.length(), block);
    *outBuf = block;
    *outLen = int32_t(*length);
    return 0;
}

}  // namespace ovra
