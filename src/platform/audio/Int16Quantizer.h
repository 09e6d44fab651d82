// Float samples to signed 16-bit: rounded to nearest, clipped at full scale so that an overload
// flattens instead of wrapping around to the opposite sign.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace ovra {

inline int16_t quantizeToInt16(float sample) {
    const float scaled = sample * 32768.0f;
    if (!(scaled > -32768.0f)) return scaled != scaled ? 0 : -32768;  // NaN is silence
    if (scaled >= 32767.0f) return 32767;
    return int16_t(std::lrintf(scaled));
}

inline void quantizeToInt16(const float* in, size_t count, int16_t* out) {
    for (size_t i = 0; i < count; ++i) out[i] = quantizeToInt16(in[i]);
}

}  // namespace ovra
