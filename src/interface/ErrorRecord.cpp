#include "interface/ErrorRecord.h"

#include <cxxabi.h>

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

void storeNothing(uint8_t** outBuf, int32_t* outLen) {
    *outBuf = nullptr;
    *outLen = 0;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
    // Hand-written because it is this small: shortest forms only, no surrogates, at most U+10FFFF.
    size_t i = 0;
    while (i < text.size()) {
        const auto c = uint8_t(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t length;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (text.size() - i < length) return false;
        for (size_t k = 1; k < length; ++k) {
            const auto cc = uint8_t(text[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((length == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (length == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        i += length;
    }
    return true;
}

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
    if (!outBuf || !outLen) return;  // nowhere to store: nothing is copied out
    try {
        const std::string copy = ovra::lastMicErrorDescription();
        // Text that is not UTF-8 (a platform's message in another encoding) cannot be handed out
        // as UTF-8 without changing it; nor can a length that does not fit the 32-bit count.
        if (copy.empty() || copy.size() > size_t(std::numeric_limits<int32_t>::max()) ||
            !ovra::isValidUtf8(copy))
            return ovra::storeNothing(outBuf, outLen);
        auto* block = static_cast<uint8_t*>(std::malloc(copy.size() + 1));
        if (!block) return ovra::storeNothing(outBuf, outLen);
        std::memcpy(block, copy.data(), copy.size());
        block[copy.size()] = 0;
        *outBuf = block;
        *outLen = int32_t(copy.size());
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        ovra::storeNothing(outBuf, outLen);
    }
}
