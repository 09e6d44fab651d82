// The microphone's rebuild on a configuration change of its engine: a tone that keeps coming
// out at 16 kHz at its frequency and level through restarts that change the device rate, and the
// notifications that must change nothing.
#include "AudioTestSupport.h"
#include "MicTestSupport.h"
#include "mic/MicCapture.h"

namespace ovra::test {
namespace {

class MicRestartTest : public MicTest {};

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
            const std::string rate = row.rateText + "Hz 1ch common=1";
            EXPECT_EQ(
                journal().entries(),
                (std::vector<std::string>{
                    "inputNode engine=" + n, "removeTapOnBus engine=" + n + " bus=0",
                    "engineStop engine=" + n, "engineInit engine=" + m, "inputNode engine=" + m,
                    "outputFormatForBus engine=" + m + " bus=0 -> " + rate,
                    "makeFormat common=1 rate=" + row.rateText +
                        " channels=1 interleaved=false -> ok",
                    "makeConverter from={" + row.rateText +
                        " 1ch float32 planar} to={16000.0 1ch int16 interleaved} -> ok",
                    "installTapOnBus engine=" + m + " bus=0 bufferSize=4096 format=" + rate +
                        " interleaved=0",
                    "startAndReturnError engine=" + m + " -> true"}));
            EXPECT_TRUE(linesOf([&] { postConfigurationChange(*platform, *previous); }).empty());
            EXPECT_FALSE(previous->isRunning());
            EXPECT_EQ(observers(), 1u);
        }
        const size_t made = bufferCapacities().size();
        uint64_t fed = 0;  // a second of the tone, in buffers of 4096 frames
        for (auto engine = engines().latest(); fed < uint64_t(row.rate); fed += 4096)
            ASSERT_TRUE(engine->feed(tone(row.hz, row.amplitude, row.rate, fed, 4096)));
        EXPECT_EQ(bufferCapacities().at(made), row.capacity);

        const auto pcm = host.samples();
        ASSERT_GT(pcm.size(), from + 15000u);
        // Past the resampler's start-up: the tone at its frequency, at its level.
        const std::vector<int16_t> steady(pcm.begin() + ptrdiff_t(from + 1600), pcm.end() - 100);
        EXPECT_NEAR(toneAmplitude(toUnit(steady), 16000, row.hz), row.amplitude, 0.01);
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
