// Float samples to signed 16-bit: rounded to nearest, clipped at full scale so that an overload
// flattens instead of wrapping around to the opposite sign.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ovra {

inline int16_t quantizeToInt16(float sample) {
    float s = sample * 32768.0f;
    s = s == s ? s : 0.0f;  // NaN is silence
    s = std::clamp(s, -32768.0f, 32767.0f);
    // Adding and removing 1.5 x 2^23 rounds to nearest (ties to even) in the FPU's own rounding,
    // without a library call, so the loop below vectorizes.
    s = (s + 12582912.0f) - 12582912.0f;
    return int16_t(s);
}

// The block form runs on every converted sample. GCC at -O2 does not vectorize the loop above,
// so on x86-64 four samples at a time go through SSE2, whose saturating pack clips for free;
// the rounding is the same (to nearest, ties to even).
inline void quantizeToInt16(const float* in, size_t count, int16_t* out) {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128 scale = _mm_set1_ps(32768.0f);
    const __m128 low = _mm_set1_ps(-32768.0f);
    const __m128 high = _mm_set1_ps(32767.0f);
    for (; i + 8 <= count; i += 8) {
        __m128 a = _mm_mul_ps(_mm_loadu_ps(in + i), scale);
        __m128 b = _mm_mul_ps(_mm_loadu_ps(in + i + 4), scale);
        // NaN to 0, then clamp so the conversion never sees a value out of int32 range.
        a = _mm_min_ps(_mm_max_ps(_mm_and_ps(a, _mm_cmpord_ps(a, a)), low), high);
        b = _mm_min_ps(_mm_max_ps(_mm_and_ps(b, _mm_cmpord_ps(b, b)), low), high);
        const __m128i packed = _mm_packs_epi32(_mm_cvtps_epi32(a), _mm_cvtps_epi32(b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), packed);
    }
#endif
    for (; i < count; ++i) out[i] = quantizeToInt16(in[i]);
}

}  // namespace ovra
