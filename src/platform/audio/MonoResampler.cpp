#include "platform/audio/MonoResampler.h"

#include <soxr.h>

#include <cmath>

namespace ovra {

// Tuned by measurement (bench/converter_bench.cpp, bench/RESULTS.md). Minimum phase and a
// 256-point FFT cap keep the output within about 3 ms of the input for 44.1 to 192 kHz sources
// and any chunk size; 16.5 bits and a stop band from 8.5 kHz (at a 16 kHz output) keep every
// aliased tone below -108 dBFS, and the pass band still reaches 7.2 kHz. Neighbouring settings
// were measured too: some make libsoxr add a whole block (6-8 ms) for particular rates.
ResamplerTuning MonoResampler::captureTuning() {
    ResamplerTuning t;
    t.precision = 16.5;
    t.phaseResponse = 0;
    t.passbandEnd = 0.9;
    t.stopbandBegin = 1.0625;
    t.log2MaxDftSize = 8;
    return t;
}

std::unique_ptr<MonoResampler> MonoResampler::create(double inputRate, double outputRate,
                                                     const ResamplerTuning& tuning) {
    if (!(std::isfinite(inputRate) && inputRate > 0 && std::isfinite(outputRate) && outputRate > 0))
        return nullptr;
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    quality.precision = tuning.precision;
    quality.phase_response = tuning.phaseResponse;
    quality.passband_end = tuning.passbandEnd;
    quality.stopband_begin = tuning.stopbandBegin;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    soxr_runtime_spec_t runtime = soxr_runtime_spec(1);  // never spawn threads
    runtime.log2_large_dft_size = tuning.log2MaxDftSize;
    if (runtime.log2_min_dft_size > runtime.log2_large_dft_size)
        runtime.log2_min_dft_size = runtime.log2_large_dft_size;
    soxr_error_t error = nullptr;
    soxr_t handle = soxr_create(inputRate, outputRate, 1, &error, &io, &quality, &runtime);
    if (!handle || error) {
        if (handle) soxr_delete(handle);
        return nullptr;
    }
    return std::unique_ptr<MonoResampler>(new MonoResampler(handle, outputRate / inputRate));
}

MonoResampler::~MonoResampler() {
    soxr_delete(soxr_);
}

void MonoResampler::reserve(size_t frames) {
    const size_t wanted = size_t(std::ceil(double(frames) * ratio_)) + 64;
    if (out_.size() < wanted) out_.resize(wanted);
}

std::span<const float> MonoResampler::process(std::span<const float> input) {
    // A non-null pointer even for no input: null would tell soxr the stream has ended.
    static const float none = 0;
    return run(input.empty() ? &none : input.data(), input.size());
}

std::span<const float> MonoResampler::flush() {
    std::span<const float> tail = run(nullptr, 0);
    soxr_clear(soxr_);
    return tail;
}

double MonoResampler::delay() const {
    return soxr_delay(soxr_);
}

std::span<const float> MonoResampler::run(const float* input, size_t frames) {
    reserve(frames);
    size_t produced = 0;
    size_t consumed = 0;
    for (;;) {
        size_t used = 0;
        size_t done = 0;
        const float* in = input ? input + consumed : nullptr;
        if (soxr_process(soxr_, in, frames - consumed, &used, out_.data() + produced,
                         out_.size() - produced, &done))
            break;
        consumed += used;
        produced += done;
        // soxr stops when the output is full; then there may be more to take.
        if (produced < out_.size() && consumed == frames) break;
        if (produced == out_.size()) out_.resize(out_.size() * 2);
    }
    return {out_.data(), produced};
}

}  // namespace ovra
