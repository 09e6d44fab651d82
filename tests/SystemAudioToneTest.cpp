// A known tone played into the tap comes out of ov_start_system_audio's data callback as 16 kHz
// mono 16-bit audio at the same frequency and level, without gaps.
#include <cmath>
#include <numbers>

#include "SystemAudioFixture.h"

namespace ovra::test {
namespace {

struct Tone {
    double frequency;  // Hz
    double rms;        // of the samples, full scale = 1
};

// Frequency from the spacing of rising zero crossings (interpolated), level from the RMS.
Tone measure(const std::vector<int16_t>& samples, double rate) {
    std::vector<double> crossings;
    for (size_t i = 1; i < samples.size(); ++i)
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            const double a = samples[i - 1], b = samples[i];
            crossings.push_back(double(i - 1) + a / (a - b));
        }
    double sumSquares = 0;
    for (int16_t s : samples) sumSquares += double(s) * s;
    Tone t{0, std::sqrt(sumSquares / double(samples.size())) / 32768.0};
    if (crossings.size() >= 2)
        t.frequency = double(crossings.size() - 1) * rate / (crossings.back() - crossings.front());
    return t;
}

class SystemAudioToneTest : public SystemAudioTest {
  protected:
    // Plays `seconds` of a sine of `frequency` and `amplitude`, the same on every channel, in
    // cycles of `cycleFrames`, and returns what the host received.
    std::vector<int16_t> play(double rate, uint32_t channels, uint32_t cycleFrames,
                              double frequency, double amplitude, double seconds) {
        hardware().setTapFormat(sim::SimAudioHardware::floatFormat(rate, channels));
        ChunkRecorder chunks;
        StatusRecorder status;
        EXPECT_EQ(start(chunks, status), 0);
        const uint64_t total = uint64_t(rate * seconds);
        playedSeconds = double((total + cycleFrames - 1) / cycleFrames * cycleFrames) / rate;
        std::vector<float> cycle(size_t(cycleFrames) * channels);
        for (uint64_t first = 0; first < total; first += cycleFrames) {
            for (uint32_t i = 0; i < cycleFrames; ++i) {
                const double phase = 2 * std::numbers::pi * frequency * double(first + i) / rate;
                for (uint32_t c = 0; c < channels; ++c)
                    cycle[size_t(i) * channels + c] = float(amplitude * std::sin(phase));
            }
            EXPECT_EQ(hardware().deliverCycle(hardware().lastAggregateDevice(), cycle), 1u);
        }
        hardware().flush();
        ov_stop_system_audio();
        for (int32_t bytes : chunks.byteCounts) EXPECT_GT(bytes, 0);
        return chunks.samples();
    }
    double playedSeconds = 0;  // whole cycles of input

    void expectTone(const std::vector<int16_t>& out, double frequency, double amplitude) {
        // All of the input comes out, less at most the converter's delay (well under 50 ms).
        const double expectedFrames = playedSeconds * 16000.0;
        EXPECT_LE(double(out.size()), expectedFrames + 1);
        EXPECT_GE(double(out.size()), expectedFrames - 800);
        // Measure the steady part, past the filter's start-up.
        const std::vector<int16_t> steady(out.begin() + 1600, out.end());
        const Tone t = measure(steady, 16000.0);
        EXPECT_NEAR(t.frequency, frequency, frequency * 0.002);
        const double levelDb = 20 * std::log10(t.rms / (amplitude / std::sqrt(2.0)));
        EXPECT_NEAR(levelDb, 0.0, 0.2);
    }
};

TEST_F(SystemAudioToneTest, StereoAt48kHzComesOutAt16kHz) {
    const auto out = play(48000.0, 2, 480, 1000.0, 0.5, 1.0);
    expectTone(out, 1000.0, 0.5);
}

TEST_F(SystemAudioToneTest, MonoAt44100HzComesOutAt16kHz) {
    const auto out = play(44100.0, 1, 512, 440.0, 0.25, 1.0);
    expectTone(out, 440.0, 0.25);
}

}  // namespace
}  // namespace ovra::test
