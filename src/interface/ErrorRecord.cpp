#include "interface/ErrorRecord.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "OvraHelper.h"
#include "interface/Locks.h"

namespace ovra {
namespace {
// Leaked like the locks, so that no destructor runs at unload.
std::string& record() {
    static std::string* text = new std::string;
    return *text;
}
}  // namespace

void setLastMicErrorDescription(std::string text) {
    std::lock_guard lock(errorLock());
    record() = std::move(text);
}

std::string lastMicErrorDescription() {
    std::lock_guard lock(errorLock());
    return record();
}

}  // namespace ovra

extern "C" OV_EXPORT void ov_get_last_mic_error(uint8_t** outBuf, int32_t* outLen) {
    try {
        // The text is kept as UTF-8 already, so its bytes go out as they are.
        const std::string copy = ovra::lastMicErrorDescription();
        if (copy.empty() || copy.size() > size_t(std::numeric_limits<int32_t>::max())) {
            *outBuf = nullptr;
            *outLen = 0;
            return;
        }
        auto* block = static_cast<uint8_t*>(std::malloc(copy.size() + 1));
        if (!block) {
            *outBuf = nullptr;
            *outLen = 0;
            return;
        }
        std::memcpy(block, copy.data(), copy.size());
        block[copy.size()] = 0;
        *outBuf = block;
        *outLen = int32_t(copy.size());
    } catch (...) {
        *outBuf = nullptr;
        *outLen = 0;
    }
}
