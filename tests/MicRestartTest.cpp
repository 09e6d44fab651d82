// The microphone's rebuild on a configuration change of its engine: a tone that keeps coming
// out at 16 kHz at its frequency and level through restarts that change the device rate, and the
// notifications that must change nothing.
#include "MicTestSupport.h"
#include "mic/MicCapture.h"

namespace ovra::test {
namespace {

class MicRestartTest : public MicTest {};

// Frequency of a steady tone from its rising zero crossings, interpolated between samples.
double measuredFrequency(const std::vector<int16_t>& pcm, size_t from, size_t to) {
    double first = -1, last = -1;
    int crossings = 0;
    for (size_t i = from + 1; i < to; ++i) {
        if (pcm[i - 1] < 0 && pcm[i] >= 0) {
            const double at = double(i - 1) + double(-pcm[i - 1]) / double(pcm[i] - pcm[i - 1]);
            if (first < 0)
                first = at;
            else
                ++crossings;
            last = at;
        }
    }
    return crossings > 0 ? 16000.0 * crossings / (last - first) : 0;
}

// Peak amplitude (1.0 = full scale) of a steady sine tone, from its RMS.
double measuredAmplitude(const std::vector<int16_t>& pcm, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += double(pcm[i]) * pcm[i];
    return std::sqrt(sum / double(to - from)) * std::numbers::sqrt2 / 32768.0;
}

// Each row after the first is reached by a configuration change of the previous row's engine.
// The session keeps delivering through the same callback and user pointer, and a second
// notification of a replaced engine changes nothing.
TEST_F(MicRestartTest, ToneComesOutAt16kHzWithItsFrequencyAndLevelAcrossRestarts) {
    const struct {
        double rate, hz, amplitude;
        std::string rateText;
        uint32_t capacity;  // of the tap block's output buffer, for 4096 frames
    } rows[] = {{48000, 1000, 0.5, "48000.0", 1366},
                {44100, 1000, 0.5, "44100.0", 1487},
                {44100, 3150, 0.25, "44100.0", 1487},
                {24000, 2000, 0.5, "24000.0", 2731},
                {16000, 1000, 0.5, "16000.0", 4097}};
    MicHost host;
    host.start();
    size_t engineNumber = 1, from = 0, chunks = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.rate << " Hz, tone " << row.hz);
        engines().setInputFormat(sim::simInputFormat(row.rate));
        if (&row != &rows[0]) {
            auto previous = engines().latest();
            const std::string n = std::to_string(engineNumber), m = std::to_string(++engineNumber);
            journal().clear();
            // Two notifiers posting the same change at once restart once.
            EXPECT_EQ(postFromThreads(*platform, *previous, 2),
                      concat({{"[mic] Audio configuration changed, restarting capture\n"},
                              startLines(row.rateText),
                              {"[mic] Restarted on new device\n"}}));
            EXPECT_EQ(
                journal().entries(),
                (std::vector<std::string>{
                    "inputNode engine=" + n, "removeTapOnBus engine=" + n + " bus=0",
                    "engineStop engine=" + n, "engineInit engine=" + m, "inputNode engine=" + m,
                    "outputFormatForBus engine=" + m + " bus=0 -> " + row.rateText +
                        "Hz 1ch common=1",
                    "installTapOnBus engine=" + m + " bus=0 bufferSize=4096 format=" +
                        row.rateText + "Hz 1ch common=1 interleaved=0",
                    "startAndReturnError engine=" + m + " -> true"}));
            EXPECT_TRUE(linesOf([&] { postConfigurationChange(*platform, *previous); }).empty());
            EXPECT_FALSE(previous->isRunning());
            EXPECT_EQ(observers(), 1u);
        }
        const size_t made = platform->micFacilities.bufferCapacities().size();
        uint64_t fed = 0;  // a second of the tone, in buffers of 4096 frames
        for (auto engine = engines().latest(); fed < uint64_t(row.rate); fed += 4096)
            ASSERT_TRUE(engine->feed(tone(row.hz, row.amplitude, row.rate, fed, 4096)));
        EXPECT_EQ(platform->micFacilities.bufferCapacities().at(made), row.capacity);

        const auto pcm = host.samples();
        ASSERT_GT(pcm.size(), from + 15000u);
        // Past the resampler's start-up, a whole number of periods is measured.
        EXPECT_NEAR(measuredFrequency(pcm, from + 1600, pcm.size() - 100), row.hz, row.hz * 0.002);
        EXPECT_NEAR(measuredAmplitude(pcm, from + 1600, pcm.size() - 100), row.amplitude, 0.01);
        // About as many samples as the rate ratio gives (less the resampler's delay).
        const double expected = double(fed) * 16000 / row.rate;
        EXPECT_NEAR(double(pcm.size() - from), expected, expected * 0.02);
        const auto bytes = host.chunkBytes();
        for (size_t i = chunks; i < bytes.size(); ++i) {
            EXPECT_GT(bytes[i], 0);
            EXPECT_EQ(bytes[i] % 2, 0);
            EXPECT_LE(bytes[i], int32_t(row.capacity) * 2);
        }
        from = pcm.size();
        chunks = bytes.size();
    }
    EXPECT_EQ(MicHost::strayCalls.load(), 0);  // the same callback, with the same user pointer
    EXPECT_EQ(host.statuses().size(), 1u);     // a restart makes no status call
    linesOf(ov_stop_mic);
    EXPECT_TRUE(postFromThreads(*platform, *engines().latest()).empty());  // after stop
    EXPECT_EQ(engines().count(), std::size(rows));
}

TEST_F(MicRestartTest, ANotificationForADroppedSessionChangesNothing) {
    // Dropped without stop, its observer is still registered: only the weak reference knows.
    auto session = std::make_shared<MicCapture>([](const uint8_t*, int32_t, void*) {}, nullptr);
    linesOf([&] { session->start(); });
    session.reset();
    ASSERT_EQ(observers(), 1u);
    EXPECT_TRUE(postFromThreads(*platform, *engines().latest()).empty());
    EXPECT_EQ(engines().count(), 1u);
}

}  // namespace
}  // namespace ovra::test
