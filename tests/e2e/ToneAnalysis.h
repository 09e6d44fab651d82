// Frequency and level of a captured sine tone, for tests that play one and hear it back.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ovra::e2e {

struct ToneMeasure {
    double frequency = 0;  // Hz, from the upward zero crossings
    double rms = 0;        // in the samples' own unit
};

template <class Sample>
ToneMeasure measureTone(const std::vector<Sample>& samples, double rate) {
    ToneMeasure m;
    if (samples.size() < 2) return m;
    double sum = 0;
    for (Sample s : samples) sum += double(s) * double(s);
    m.rms = std::sqrt(sum / double(samples.size()));
    double first = -1, last = -1;
    size_t crossings = 0;
    for (size_t i = 1; i < samples.size(); ++i) {
        const double a = samples[i - 1], b = samples[i];
        if (a < 0 && b >= 0) {
            const double at = double(i - 1) + (-a) / (b - a);  // interpolated crossing
            if (first < 0) first = at;
            last = at;
            ++crossings;
        }
    }
    if (crossings >= 2) m.frequency = double(crossings - 1) * rate / (last - first);
    return m;
}

// The RMS of a sine with the peak level `dbfs`, on a full scale of `fullScale`.
inline double sineRms(double dbfs, double fullScale) {
    return fullScale * std::pow(10.0, dbfs / 20.0) / std::sqrt(2.0);
}

}  // namespace ovra::e2e
