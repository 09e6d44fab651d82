// Signals, formats and measurements shared by the audio facility tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <numbers>
#include <vector>

#include "platform/audio/AudioConverter.h"
#include "platform/audio/AudioFormat.h"
#include "platform/audio/OneShotInput.h"
#include "platform/audio/PCMBuffer.h"
#include "support/ToneAnalysis.h"

namespace ovra::test {

inline std::shared_ptr<const AudioFormat> deliveryFormat() {
    return AudioFormat::fromStreamDescription(deliveryStreamDescription());
}

struct Tone {
    double amplitude;  // peak, 1.0 = full scale
    double hz;
};

// Runs the tones through `converter` as the capture sessions do (one-shot input, capacity = ratio x
// frames + 1 unless given, which no call may overrun), drained at the end if `end`. Before the
// drain nothing here allocates but the converter.
inline std::vector<int16_t> convertTones(
    AudioConverter& converter, const std::vector<Tone>& tones, uint32_t chunkFrames, int chunks,
    bool end = false, uint32_t capacity = 0,
    const std::function<void(int chunk, size_t frames)>& afterChunk = {}) {
    const auto& from = converter.inputFormat();
    const auto& to = converter.outputFormat();
    auto input = PCMBuffer::withCapacity(from, chunkFrames);
    if (!capacity)
        capacity = uint32_t(to->sampleRate() / from->sampleRate() * double(chunkFrames)) + 1;
    auto output = PCMBuffer::withCapacity(to, capacity);
    std::vector<int16_t> out;
    out.reserve(size_t(capacity) * size_t(chunks));
    auto take = [&] {
        EXPECT_LE(output->frameLength(), capacity);
        const int16_t* s = output->int16ChannelData()[0];
        out.insert(out.end(), s, s + output->frameLength());
        return output->frameLength();
    };
    for (int k = 0; k < chunks; ++k) {
        // Sine tones, one per channel (repeating), continuing the same wave from chunk to chunk.
        for (uint32_t c = 0; c < from->channelCount(); ++c) {
            const Tone& t = tones[c % tones.size()];
            void* base = input->channelData()[from->isInterleaved() ? 0 : c];
            for (uint32_t i = 0; i < chunkFrames; ++i) {
                const double v = t.amplitude * std::sin(2 * std::numbers::pi * t.hz *
                                                        double(uint64_t(k) * chunkFrames + i) /
                                                        from->sampleRate());
                const size_t at = from->isInterleaved() ? size_t(i) * from->channelCount() + c : i;
                switch (from->commonFormat()) {
                    case AudioCommonFormat::pcmFormatFloat32:
                        static_cast<float*>(base)[at] = float(v);
                        break;
                    case AudioCommonFormat::pcmFormatFloat64:
                        static_cast<double*>(base)[at] = v;
                        break;
                    case AudioCommonFormat::pcmFormatInt16:
                        static_cast<int16_t*>(base)[at] = int16_t(std::lrint(v * 32767.0));
                        break;
                    default:
                        static_cast<int32_t*>(base)[at] = int32_t(std::lrint(v * 2147483647.0));
                }
            }
        }
        input->setFrameLength(chunkFrames);
        OneShotInput once(*input);
        converter.convert(*output, nullptr, once);
        take();
        if (afterChunk) afterChunk(k, out.size());
    }
    struct Ended final : AudioConverterInputBlock {
        const PCMBuffer* operator()(uint32_t, AudioConverterInputStatus* status) override {
            *status = AudioConverterInputStatus::endOfStream;
            return nullptr;
        }
    } ended;
    for (int guard = 0; end && guard < 10000000; ++guard) {
        const auto status = converter.convert(*output, nullptr, ended);
        if (take() == 0 || status == AudioConverterOutputStatus::endOfStream) break;
    }
    return out;
}

}  // namespace ovra::test
