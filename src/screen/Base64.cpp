#include "screen/Base64.h"

#include <cstdint>

namespace ovra {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}  // namespace

std::optional<size_t> base64Length(size_t bytes) {
    const size_t groups = bytes / 3 + (bytes % 3 != 0);
    if (groups > SIZE_MAX / 4) return std::nullopt;
    return groups * 4;
}

void base64Encode(const uint8_t* in, size_t length, uint8_t* out) {
    size_t i = 0;
    for (; i + 3 <= length; i += 3, out += 4) {
        const uint32_t v = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8 | in[i + 2];
        out[0] = uint8_t(kAlphabet[v >> 18]);
        out[1] = uint8_t(kAlphabet[(v >> 12) & 63]);
        out[2] = uint8_t(kAlphabet[(v >> 6) & 63]);
        out[3] = uint8_t(kAlphabet[v & 63]);
    }
    const size_t rest = length - i;
    if (rest == 0) return;
    const uint32_t v = uint32_t(in[i]) << 16 | (rest == 2 ? uint32_t(in[i + 1]) << 8 : 0);
    out[0] = uint8_t(kAlphabet[v >> 18]);
    out[1] = uint8_t(kAlphabet[(v >> 12) & 63]);
    out[2] = rest == 2 ? uint8_t(kAlphabet[(v >> 6) & 63]) : uint8_t('=');
    out[3] = '=';
}

}  // namespace ovra
