#include "platform/audio/ChannelMixer.h"

namespace ovra {

namespace {

template <typename T>
constexpr float fullScale() {
    if constexpr (sizeof(T) == 2 && !std::is_floating_point_v<T>) return 1.0f / 32768.0f;
    if constexpr (sizeof(T) == 4 && !std::is_floating_point_v<T>) return 1.0f / 2147483648.0f;
    return 1.0f;
}

// Sums in float: even 64 full-scale int32 channels stay far inside float's range, and the
// rounding of a float sum is well below the 16-bit output's resolution.
template <typename T>
void mixInterleaved(const T* in, uint32_t channels, size_t frames, float* out) {
    const float gain = fullScale<T>() / float(channels);
    if (channels == 1) {
        for (size_t i = 0; i < frames; ++i) out[i] = float(in[i]) * gain;
        return;
    }
    if (channels == 2) {
        for (size_t i = 0; i < frames; ++i)
            out[i] = (float(in[2 * i]) + float(in[2 * i + 1])) * gain;
        return;
    }
    for (size_t i = 0; i < frames; ++i) {
        const T* frame = in + i * channels;
        float sum = 0;
        for (uint32_t c = 0; c < channels; ++c) sum += float(frame[c]);
        out[i] = sum * gain;
    }
}

template <typename T>
void mixPlanar(const T* const* in, uint32_t channels, size_t frames, float* out) {
    const float gain = fullScale<T>() / float(channels);
    if (channels == 1) {
        for (size_t i = 0; i < frames; ++i) out[i] = float(in[0][i]) * gain;
        return;
    }
    for (size_t i = 0; i < frames; ++i) out[i] = float(in[0][i]);
    for (uint32_t c = 1; c < channels; ++c) {
        const T* channel = in[c];
        for (size_t i = 0; i < frames; ++i) out[i] += float(channel[i]);
    }
    for (size_t i = 0; i < frames; ++i) out[i] *= gain;
}

template <typename T>
void mixAny(const PCMBuffer& buffer, void* const* channelData, float* out) {
    const auto* const* data = reinterpret_cast<const T* const*>(channelData);
    const uint32_t channels = buffer.format().channelCount();
    if (buffer.format().isInterleaved())
        mixInterleaved(data[0], channels, buffer.frameLength(), out);
    else
        mixPlanar(data, channels, buffer.frameLength(), out);
}

}  // namespace

bool ChannelMixer::accepts(const AudioFormat& format) {
    switch (format.commonFormat()) {
        case AudioCommonFormat::pcmFormatFloat32:
        case AudioCommonFormat::pcmFormatFloat64:
        case AudioCommonFormat::pcmFormatInt16:
        case AudioCommonFormat::pcmFormatInt32:
            return format.channelCount() > 0;
        default:
            return false;
    }
}

std::span<const float> ChannelMixer::mix(const PCMBuffer& buffer) {
    const size_t frames = buffer.frameLength();
    if (frames == 0) return {};
    const AudioFormat& format = buffer.format();
    // Mono float is already what the resampler takes: no copy.
    if (format.commonFormat() == AudioCommonFormat::pcmFormatFloat32 && format.channelCount() == 1)
        return {buffer.floatChannelData()[0], frames};
    if (mono_.size() < frames) mono_.resize(frames);
    float* out = mono_.data();
    void* const* data = buffer.channelData();
    switch (buffer.format().commonFormat()) {
        case AudioCommonFormat::pcmFormatFloat32:
            mixAny<float>(buffer, data, out);
            break;
        case AudioCommonFormat::pcmFormatFloat64:
            mixAny<double>(buffer, data, out);
            break;
        case AudioCommonFormat::pcmFormatInt16:
            mixAny<int16_t>(buffer, data, out);
            break;
        case AudioCommonFormat::pcmFormatInt32:
            mixAny<int32_t>(buffer, data, out);
            break;
        default:
            return {};
    }
    return {out, frames};
}

}  // namespace ovra
