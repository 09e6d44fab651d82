// How the converter mixes, quantizes, honours the output capacity, keeps leftovers and treats
// its input block.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "AudioTestSupport.h"
#include "platform/audio/ResamplingConverter.h"

namespace ovra::test {
namespace {

std::shared_ptr<AudioConverter> converterFrom(AudioCommonFormat common, double rate,
                                              uint32_t channels, bool interleaved) {
    return makeResamplingConverter(
        AudioFormat::fromCommonFormat(common, rate, channels, interleaved), deliveryFormat());
}

// Feeds `samples` (mono float at 16 kHz, so nothing is resampled) and returns the output.
std::vector<int16_t> passThrough(const std::vector<float>& samples) {
    auto converter = converterFrom(AudioCommonFormat::pcmFormatFloat32, 16000, 1, true);
    auto input = PCMBuffer::withCapacity(converter->inputFormat(), uint32_t(samples.size()));
    std::copy(samples.begin(), samples.end(), input->floatChannelData()[0]);
    input->setFrameLength(uint32_t(samples.size()));
    auto output = PCMBuffer::withCapacity(deliveryFormat(), uint32_t(samples.size()));
    OneShotInput once(*input);
    converter->convert(*output, nullptr, once);
    const int16_t* s = output->int16ChannelData()[0];
    return {s, s + output->frameLength()};
}

TEST(ConverterMix, ChannelPannedHardToOneSideIsHeardAtHalfLevel) {
    for (bool interleaved : {true, false}) {
        for (int loud : {0, 1}) {
            auto converter =
                converterFrom(AudioCommonFormat::pcmFormatFloat32, 48000, 2, interleaved);
            std::vector<Tone> tones = {{0, 1000}, {0, 1000}};
            tones[size_t(loud)] = {0.8, 1000};
            auto out = convertTones(*converter, tones, 480, 100);
            EXPECT_NEAR(toneAmplitude(toUnit(out, 1600), 16000, 1000), 0.4, 0.004)
                << "interleaved=" << interleaved << " channel=" << loud;
        }
    }
}

TEST(ConverterMix, AveragesManyChannels) {
    // Only channel 5 of 64 plays: the mix carries it at 1/64 of its level.
    auto converter = converterFrom(AudioCommonFormat::pcmFormatInt32, 48000, 64, false);
    std::vector<Tone> tones(64, Tone{0, 1000});
    tones[5] = {1.0, 1000};
    auto out = convertTones(*converter, tones, 480, 100);
    EXPECT_NEAR(toneAmplitude(toUnit(out, 1600), 16000, 1000), 1.0 / 64, 0.0005);
}

TEST(ConverterQuantize, RoundsToNearest) {
    const float lsb = 1.0f / 32768;
    auto out = passThrough({0.4f * lsb, 0.6f * lsb, -0.6f * lsb, 100.3f * lsb, -100.7f * lsb});
    EXPECT_EQ(out, (std::vector<int16_t>{0, 1, -1, 100, -101}));
}

TEST(ConverterQuantize, ClipsAtFullScaleInsteadOfWrapping) {
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> in = {1.0f, 1.5f, 40.0f, inf, -1.0f, -1.5f, -40.0f, -inf, 0.99999f};
    const std::vector<int16_t> expected = {32767,  32767,  32767,  32767, -32768,
                                           -32768, -32768, -32768, 32767};
    EXPECT_EQ(passThrough(in), expected);
    // Long runs take the block path; it must agree sample for sample.
    std::vector<float> many;
    std::vector<int16_t> manyExpected;
    for (int k = 0; k < 7; ++k) {
        many.insert(many.end(), in.begin(), in.end());
        manyExpected.insert(manyExpected.end(), expected.begin(), expected.end());
    }
    EXPECT_EQ(passThrough(many), manyExpected);
}

TEST(ConverterQuantize, BlockPathRoundsLikeTheRule) {
    // Ties go to even, everything else to the nearest step, over the whole range and beyond.
    std::vector<float> in;
    for (int v = -33000; v <= 33000; v += 7)
        for (float frac : {0.0f, 0.25f, 0.5f, 0.75f}) in.push_back((float(v) + frac) / 32768.0f);
    in.push_back(std::nanf(""));
    const auto out = passThrough(in);
    ASSERT_EQ(out.size(), in.size());
    for (size_t i = 0; i + 1 < in.size(); ++i) {
        const double exact = std::nearbyint(double(in[i]) * 32768.0);
        const auto want = int16_t(std::clamp(exact, -32768.0, 32767.0));
        ASSERT_EQ(out[i], want) << "input " << double(in[i]) * 32768.0;
    }
    EXPECT_EQ(out.back(), 0);
}

TEST(ConverterQuantize, OverloadedToneThroughTheResamplerFlattensAtThePeaks) {
    auto converter = converterFrom(AudioCommonFormat::pcmFormatFloat32, 48000, 2, true);
    auto out = convertTones(*converter, {{1.5, 1000}}, 480, 50);
    ASSERT_GT(out.size(), 4000u);
    EXPECT_EQ(*std::max_element(out.begin(), out.end()), 32767);
    EXPECT_EQ(*std::min_element(out.begin(), out.end()), -32768);
    // A wrapped sample would jump by most of the 16-bit range; a 1.5 x full-scale 1 kHz sine
    // moves by at most 1.5 * 2 pi * 1000 / 16000 of full scale between samples.
    int worstStep = 0;
    for (size_t i = 1; i < out.size(); ++i)
        worstStep = std::max(worstStep, std::abs(out[i] - out[i - 1]));
    EXPECT_LT(worstStep, int(1.5 * 2 * std::numbers::pi * 1000 / 16000 * 32768 * 1.1));
}

TEST(ConverterQuantize, NotANumberBecomesSilence) {
    auto out = passThrough({std::nanf(""), 0.5f});
    EXPECT_EQ(out, (std::vector<int16_t>{0, 16384}));
}

// Converts 48 kHz stereo chunks of 480 frames into output buffers of `capacity` frames,
// checking that no call writes more than that, then drains the stream.
std::vector<int16_t> convertWithCapacity(uint32_t capacity, int chunks) {
    auto converter = converterFrom(AudioCommonFormat::pcmFormatFloat32, 48000, 2, true);
    auto input = PCMBuffer::withCapacity(converter->inputFormat(), 480);
    auto output = PCMBuffer::withCapacity(deliveryFormat(), capacity);
    std::vector<int16_t> out;
    for (int k = 0; k < chunks; ++k) {
        fillAny(*input, {{0.5, 1000}, {0.25, 3000}}, uint64_t(k) * 480, 480);
        OneShotInput once(*input);
        converter->convert(*output, nullptr, once);
        EXPECT_LE(output->frameLength(), capacity);
        const int16_t* s = output->int16ChannelData()[0];
        out.insert(out.end(), s, s + output->frameLength());
    }
    drainEnded(*converter, capacity, out);
    return out;
}

TEST(ConverterCapacity, OutputThatDoesNotFitComesOutLaterInOrder) {
    const auto roomy = convertWithCapacity(4000, 200);
    for (uint32_t capacity : {1u, 37u, 160u, 161u}) {
        const auto tight = convertWithCapacity(capacity, 200);
        EXPECT_EQ(tight, roomy) << "capacity " << capacity;
    }
    EXPECT_NEAR(double(roomy.size()), 200 * 160, 1);
}

TEST(ConverterCapacity, HeldBackOutputStaysBoundedUnderTheSessionsCapacityRule) {
    // The sessions size each output buffer to ratio x frames + 1; what the converter holds back
    // must not creep up over a long run.
    for (double rate : {48000.0, 44100.0, 96000.0, 8000.0}) {
        auto converter = converterFrom(AudioCommonFormat::pcmFormatFloat32, rate, 2, true);
        const auto frames = uint32_t(rate / 100);
        auto input = PCMBuffer::withCapacity(converter->inputFormat(), frames);
        auto output =
            PCMBuffer::withCapacity(deliveryFormat(), uint32_t(16000 / rate * frames) + 1);
        double worst = 0;
        size_t produced = 0;
        for (int k = 1; k <= 3000; ++k) {
            fillAny(*input, {{0.5, 440}}, uint64_t(k) * frames, frames);
            OneShotInput once(*input);
            converter->convert(*output, nullptr, once);
            produced += output->frameLength();
            if (k > 1000) worst = std::max(worst, 16000.0 / rate * frames * k - double(produced));
        }
        // A few blocks of the filter at most, never a growing backlog (30 s of input here).
        EXPECT_LT(worst, 16000 * 0.05) << rate;
    }
}

// An input block that counts its calls and hands out its buffer once per conversion.
class CountingInput final : public AudioConverterInputBlock {
  public:
    explicit CountingInput(const PCMBuffer& buffer) : once_(buffer) {}
    const PCMBuffer* operator()(uint32_t packets, AudioConverterInputStatus* status) override {
        ++calls;
        return once_(packets, status);
    }
    int calls = 0;

  private:
    OneShotInput once_;
};

TEST(ConverterInput, IsAskedEvenWhenLeftoversFillTheOutput) {
    auto converter = converterFrom(AudioCommonFormat::pcmFormatFloat32, 16000, 1, true);
    auto input = PCMBuffer::withCapacity(converter->inputFormat(), 100);
    auto output = PCMBuffer::withCapacity(deliveryFormat(), 10);
    size_t total = 0;
    for (int k = 0; k < 20; ++k) {
        fillAny(*input, {{0.5, 1000}}, uint64_t(k) * 100, 100);
        CountingInput counting(*input);
        converter->convert(*output, nullptr, counting);
        EXPECT_GE(counting.calls, 1);
        total += output->frameLength();
    }
    EXPECT_EQ(total, 200u);  // 10 per call, the rest waits
}

TEST(ConverterInput, AnEmptyChunkProducesNothingAndChangesNothing) {
    auto converter = converterFrom(AudioCommonFormat::pcmFormatFloat32, 16000, 1, true);
    auto empty = PCMBuffer::withCapacity(converter->inputFormat(), 16);
    auto output = PCMBuffer::withCapacity(deliveryFormat(), 16);
    OneShotInput once(*empty);
    EXPECT_EQ(converter->convert(*output, nullptr, once), AudioConverterOutputStatus::inputRanDry);
    EXPECT_EQ(output->frameLength(), 0u);
}

TEST(ConverterInput, ABufferOfAnotherLayoutIsAnError) {
    auto converter = converterFrom(AudioCommonFormat::pcmFormatFloat32, 48000, 2, true);
    auto planar = PCMBuffer::withCapacity(
        AudioFormat::fromCommonFormat(AudioCommonFormat::pcmFormatFloat32, 48000, 2, false), 480);
    planar->setFrameLength(480);
    auto output = PCMBuffer::withCapacity(deliveryFormat(), 161);
    OneShotInput once(*planar);
    std::string error;
    EXPECT_EQ(converter->convert(*output, &error, once), AudioConverterOutputStatus::error);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(output->frameLength(), 0u);

    auto wrongOutput = PCMBuffer::withCapacity(converter->inputFormat(), 161);
    auto good = PCMBuffer::withCapacity(converter->inputFormat(), 480);
    OneShotInput again(*good);
    EXPECT_EQ(converter->convert(*wrongOutput, nullptr, again), AudioConverterOutputStatus::error);
}

TEST(ConverterInput, ChunkingDoesNotChangeTheResult) {
    // The converter's state carries over between calls: the same signal in 10 ms chunks and in
    // 4096-frame chunks gives the same samples.
    auto small = converterFrom(AudioCommonFormat::pcmFormatFloat32, 44100, 1, false);
    auto large = converterFrom(AudioCommonFormat::pcmFormatFloat32, 44100, 1, false);
    auto a = convertTones(*small, {{0.7, 1234}}, 441, 4096, true);
    auto b = convertTones(*large, {{0.7, 1234}}, 4096, 441, true);
    ASSERT_EQ(a.size(), b.size());
    int worst = 0;
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
    EXPECT_LE(worst, 1);
}

TEST(ConverterFormats, RefusesWhatItCannotDeliver) {
    auto source =
        AudioFormat::fromCommonFormat(AudioCommonFormat::pcmFormatFloat32, 48000, 2, true);
    EXPECT_FALSE(makeResamplingConverter(nullptr, deliveryFormat()));
    EXPECT_FALSE(makeResamplingConverter(source, nullptr));
    EXPECT_FALSE(makeResamplingConverter(source, source));  // stereo float target
    EXPECT_FALSE(makeResamplingConverter(
        source, AudioFormat::fromCommonFormat(AudioCommonFormat::pcmFormatInt16, 16000, 2, true)));
    auto converter = makeResamplingConverter(source, deliveryFormat());
    ASSERT_TRUE(converter);
    EXPECT_EQ(converter->inputFormat(), source);
    EXPECT_EQ(converter->outputFormat()->sampleRate(), 16000.0);
}

TEST(ConverterFormats, AcceptsOddRates) {
    for (double rate : {8000.0, 11025.0, 22050.0, 32000.0, 88200.0, 192000.0, 47999.5, 1.0e6}) {
        auto converter = converterFrom(AudioCommonFormat::pcmFormatFloat32, rate, 1, true);
        ASSERT_TRUE(converter) << rate;
        const auto frames = uint32_t(std::max(1.0, rate / 100));
        auto out = convertTones(*converter, {{0.5, 1000}}, frames, 100, true);
        EXPECT_NEAR(double(out.size()), 16000.0 / rate * frames * 100, 1) << rate;
        EXPECT_NEAR(toneAmplitude(toUnit(out, 800), 16000, 1000), 0.5, 0.01) << rate;
    }
}

}  // namespace
}  // namespace ovra::test
