// A known tone played into the tap comes out of ov_start_system_audio's data callback as 16 kHz
// mono 16-bit audio at the same frequency and level, without gaps.
#include <cmath>

#include "AudioTestSupport.h"
#include "SystemAudioFixture.h"

namespace ovra::test {
namespace {

TEST_F(SystemAudioTest, StereoAt48kHzAndMonoAt44100HzComeOutAt16kHz) {
    struct Row {
        double rate;
        uint32_t channels, cycleFrames;
        Tone tone;  // the same on every channel
    };
    for (const Row& r :
         {Row{48000.0, 2, 480, {0.5, 1000.0}}, Row{44100.0, 1, 512, {0.25, 440.0}}}) {
        SCOPED_TRACE(r.rate);
        hardware().setTapFormat(sim::SimAudioHardware::floatFormat(r.rate, r.channels));
        ChunkRecorder received;
        ASSERT_EQ(start(received, status), 0);
        auto cycle = PCMBuffer::withCapacity(
            AudioFormat::fromCommonFormat(AudioCommonFormat::pcmFormatFloat32, r.rate, r.channels,
                                          true),
            r.cycleFrames);
        const float* data = cycle->floatChannelData()[0];
        uint64_t played = 0;
        for (; played < uint64_t(r.rate); played += r.cycleFrames) {
            fillTones(*cycle, {r.tone}, played, r.cycleFrames);
            EXPECT_EQ(hardware().deliverCycle(hardware().lastAggregateDevice(),
                                              {data, data + size_t(r.cycleFrames) * r.channels}),
                      1u);
        }
        hardware().flush();
        ov_stop_system_audio();
        for (int32_t bytes : received.byteCounts) EXPECT_GT(bytes, 0);
        const auto out = received.samples();
        // All of the input comes out, less at most the converter's delay (well under 50 ms).
        const double expectedFrames = double(played) / r.rate * 16000.0;
        EXPECT_LE(double(out.size()), expectedFrames + 1);
        EXPECT_GE(double(out.size()), expectedFrames - 800);
        // The steady part, past the filter's start-up, holds the tone within 0.2 dB; a
        // frequency off by a fraction of a hertz would already fall outside that.
        const double level = toneAmplitude(toUnit(out, 1600), 16000.0, r.tone.hz);
        EXPECT_NEAR(20 * std::log10(level / r.tone.amplitude), 0.0, 0.2);
    }
}

}  // namespace
}  // namespace ovra::test
