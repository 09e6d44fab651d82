// Tones through the converter come out at the delivery rate with their frequency and level.
#include <gtest/gtest.h>

#include "AudioTestSupport.h"
#include "platform/audio/ResamplingConverter.h"

namespace ovra::test {
namespace {

struct Case {
    AudioCommonFormat common;
    double rate;
    uint32_t channels;
    bool interleaved;
    uint32_t chunkFrames;
};

class ConverterTone : public testing::TestWithParam<Case> {};

// A 1 kHz tone at -6 dBFS on every channel, from any accepted source and rate, must come out at
// 1 kHz and -6 dBFS, with nothing of note at another frequency.
TEST_P(ConverterTone, KeepsFrequencyAndLevel) {
    const Case c = GetParam();
    auto from = AudioFormat::fromCommonFormat(c.common, c.rate, c.channels, c.interleaved);
    ASSERT_TRUE(from);
    auto converter = makeResamplingConverter(from, deliveryFormat());
    ASSERT_TRUE(converter);
    const int chunks = int(std::ceil(c.rate * 1.5 / c.chunkFrames));
    auto out = convertTones(*converter, {{0.5, 1000}}, c.chunkFrames, chunks, true);
    const double expected = 16000.0 / c.rate * c.chunkFrames * chunks;
    // Once the input has ended, every frame is out: nothing lost, nothing repeated.
    EXPECT_NEAR(double(out.size()), expected, 1.0);
    auto x = toUnit(out, 1600);  // past the filter's start-up
    EXPECT_NEAR(toneAmplitude(x, 16000, 1000), 0.5, 0.5 * 0.01);
    EXPECT_LT(toneAmplitude(x, 16000, 3000), 1e-4);
    EXPECT_LT(toneAmplitude(x, 16000, 500), 1e-4);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, ConverterTone,
    testing::Values(Case{AudioCommonFormat::pcmFormatFloat32, 48000, 2, true, 480},
                    Case{AudioCommonFormat::pcmFormatFloat32, 44100, 1, false, 441},
                    Case{AudioCommonFormat::pcmFormatFloat32, 48000, 2, true, 4096},
                    Case{AudioCommonFormat::pcmFormatFloat32, 44100, 1, true, 512},
                    Case{AudioCommonFormat::pcmFormatInt16, 48000, 2, true, 512},
                    Case{AudioCommonFormat::pcmFormatInt32, 96000, 2, false, 1024},
                    Case{AudioCommonFormat::pcmFormatFloat32, 16000, 1, true, 160},
                    Case{AudioCommonFormat::pcmFormatFloat64, 22050, 3, false, 300},
                    Case{AudioCommonFormat::pcmFormatFloat32, 48000, 64, true, 480},
                    Case{AudioCommonFormat::pcmFormatInt16, 8000, 64, false, 80},
                    Case{AudioCommonFormat::pcmFormatFloat32, 11025, 1, true, 110},
                    Case{AudioCommonFormat::pcmFormatFloat32, 32000, 1, true, 320},
                    Case{AudioCommonFormat::pcmFormatFloat32, 88200, 1, true, 882},
                    Case{AudioCommonFormat::pcmFormatFloat32, 192000, 1, true, 1920},
                    Case{AudioCommonFormat::pcmFormatFloat32, 47999.5, 1, true, 479},
                    Case{AudioCommonFormat::pcmFormatFloat32, 1.0e6, 1, true, 10000}));

}  // namespace
}  // namespace ovra::test
