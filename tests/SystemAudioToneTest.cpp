// A known tone played into the tap comes out of ov_start_system_audio's data callback as 16 kHz
// mono 16-bit audio at the same frequency and level, without gaps.
#include <cmath>
#include <numbers>

#include "AudioTestSupport.h"
#include "SystemAudioFixture.h"

namespace ovra::test {
namespace {

class SystemAudioToneTest : public SystemAudioTest {
  protected:
    // Plays `seconds` of a sine of `frequency` and `amplitude`, the same on every channel, in
    // cycles of `cycleFrames`, and returns what the host received.
    std::vector<int16_t> play(double rate, uint32_t channels, uint32_t cycleFrames,
                              double frequency, double amplitude, double seconds) {
        hardware().setTapFormat(sim::SimAudioHardware::floatFormat(rate, channels));
        ChunkRecorder received;
        EXPECT_EQ(start(received, status), 0);
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
        for (int32_t bytes : received.byteCounts) EXPECT_GT(bytes, 0);
        return received.samples();
    }
    double playedSeconds = 0;  // whole cycles of input

    void expectTone(const std::vector<int16_t>& out, double frequency, double amplitude) {
        // All of the input comes out, less at most the converter's delay (well under 50 ms).
        const double expectedFrames = playedSeconds * 16000.0;
        EXPECT_LE(double(out.size()), expectedFrames + 1);
        EXPECT_GE(double(out.size()), expectedFrames - 800);
        // The steady part, past the filter's start-up, holds the tone within 0.2 dB; a
        // frequency off by a fraction of a hertz would already fall outside that.
        const double level = toneAmplitude(toUnit(out, 1600), 16000.0, frequency);
        EXPECT_NEAR(20 * std::log10(level / amplitude), 0.0, 0.2);
    }
};

TEST_F(SystemAudioToneTest, StereoAt48kHzAndMonoAt44100HzComeOutAt16kHz) {
    struct Row {
        double rate;
        uint32_t channels, cycleFrames;
        double frequency, amplitude;
    };
    for (const Row& r : {Row{48000.0, 2, 480, 1000.0, 0.5}, Row{44100.0, 1, 512, 440.0, 0.25}}) {
        SCOPED_TRACE(r.rate);
        expectTone(play(r.rate, r.channels, r.cycleFrames, r.frequency, r.amplitude, 1.0),
                   r.frequency, r.amplitude);
    }
}

}  // namespace
}  // namespace ovra::test
