// Frequency and level of sine tones in 16 kHz output: what a converter made, or what a host heard.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace ovra::test {

// Peak amplitude (1.0 = full scale) of the component at `hz`, by a Goertzel filter over a Hann
// window, so that a second tone or a non-integer number of periods does not leak in.
inline double toneAmplitude(const std::vector<int16_t>& x, double hz) {
    const size_t n = x.size();
    if (n == 0) return 0;
    const double w = 2 * std::numbers::pi * hz / 16000;
    double s1 = 0, s2 = 0, windowSum = 0;
    for (size_t i = 0; i < n; ++i) {
        const double hann = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * double(i) / double(n));
        windowSum += hann;
        const double s = double(x[i]) / 32768 * hann + 2 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    const double re = s1 - s2 * std::cos(w);
    const double im = s2 * std::sin(w);
    return 2 * std::sqrt(re * re + im * im) / windowSum;
}

// The frequency, on a 5 Hz grid from 200 Hz to 2 kHz, with the strongest component.
inline double strongestFrequency(const std::vector<int16_t>& x) {
    double best = 0, bestAmplitude = -1;
    for (double hz = 200; hz <= 2000; hz += 5) {
        const double a = toneAmplitude(x, hz);
        if (a > bestAmplitude) bestAmplitude = a, best = hz;
    }
    return best;
}

inline double dbfs(double amplitude) {
    return 20 * std::log10(amplitude);
}

}  // namespace ovra::test
