// A tone played into the microphone comes out at 16 kHz at the same frequency and level.
#include "MicTestSupport.h"

namespace ovra::test {
namespace {

struct ToneCase {
    double rate;
    double hz;
    double amplitude;
};

class MicTone : public MicTest, public ::testing::WithParamInterface<ToneCase> {};

TEST_P(MicTone, ComesOutAt16kHzWithItsFrequencyAndLevel) {
    const ToneCase c = GetParam();
    engines().setInputFormat(sim::simInputFormat(c.rate));
    MicHost host;
    host.start();
    feedTone(*engines().latest(), c.hz, c.amplitude, c.rate, 1.0);

    const auto pcm = host.samples();
    ASSERT_GT(pcm.size(), 15000u);
    // Past the resampler's start-up, a whole number of periods is measured.
    const size_t from = 1600, to = pcm.size() - 100;
    EXPECT_NEAR(measuredFrequency(pcm, from, to, 16000), c.hz, c.hz * 0.002);
    EXPECT_NEAR(measuredAmplitude(pcm, from, to), c.amplitude, 0.01);
}

INSTANTIATE_TEST_SUITE_P(Rates, MicTone,
                         ::testing::Values(ToneCase{48000, 1000, 0.5}, ToneCase{44100, 1000, 0.5},
                                           ToneCase{44100, 3150, 0.25}));

}  // namespace
}  // namespace ovra::test
