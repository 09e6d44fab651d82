// Measurements on captured microphone audio, shared by the microphone's end-to-end tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace ovra::e2e {

// Peak amplitude (1.0 = full scale) of the component at `hz`, by a Goertzel filter over a Hann
// window, so that a second tone or a non-integer number of periods does not leak in.
template <typename Sample>
double toneAmplitude(const std::vector<Sample>& x, double rate, double hz, double scale = 1.0) {
    const size_t n = x.size();
    if (n == 0) return 0;
    const double w = 2 * std::numbers::pi * hz / rate;
    double s1 = 0, s2 = 0, windowSum = 0;
    for (size_t i = 0; i < n; ++i) {
        const double hann = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * double(i) / double(n));
        windowSum += hann;
        const double s = double(x[i]) / scale * hann + 2 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    const double re = s1 - s2 * std::cos(w);
    const double im = s2 * std::sin(w);
    return 2 * std::sqrt(re * re + im * im) / windowSum;
}

inline double int16ToneAmplitude(const std::vector<int16_t>& x, double hz) {
    return toneAmplitude(x, 16000.0, hz, 32768.0);
}

// The frequency, on a 5 Hz grid between `from` and `to`, with the strongest component.
template <typename Sample>
double strongestFrequency(const std::vector<Sample>& x, double rate, double from, double to,
                          double scale = 1.0) {
    double best = from, bestAmplitude = -1;
    for (double hz = from; hz <= to; hz += 5) {
        const double a = toneAmplitude(x, rate, hz, scale);
        if (a > bestAmplitude) bestAmplitude = a, best = hz;
    }
    return best;
}

inline double dbfs(double amplitude) {
    return 20 * std::log10(std::max(amplitude, 1e-12));
}

}  // namespace ovra::e2e
