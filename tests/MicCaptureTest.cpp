// The microphone session on its own: its tap block's buffers, its stop, its starts and restarts.
#include <limits>

#include "AudioTestSupport.h"
#include "MicTestSupport.h"
#include "mic/MicCapture.h"
#include "mic/MicTapBlock.h"

namespace ovra::test {
namespace {

using MicCaptureTest = SimTest;

// The capacities at 48, 44.1, 24 and 16 kHz are checked on the buffers the tone test makes.
TEST(MicOutputCapacity, OneSpareFrameOverTheRateRatio) {
    EXPECT_EQ(micOutputCapacity(16000, 48000, 1), 1u);
    // What the formats of a start cannot produce is refused rather than wrapped.
    EXPECT_EQ(micOutputCapacity(16000, 0, 4096), std::nullopt);
    EXPECT_EQ(micOutputCapacity(16000, std::numeric_limits<double>::quiet_NaN(), 4096),
              std::nullopt);
    EXPECT_EQ(micOutputCapacity(16000, 1e-3, std::numeric_limits<uint32_t>::max()), std::nullopt);
    EXPECT_EQ(micOutputCapacity(16000, 16000, std::numeric_limits<uint32_t>::max()), std::nullopt);
}

// A buffer is made only when the one in hand is too small; one that cannot be made drops only
// its chunk, and an empty tapped buffer delivers nothing.
TEST_F(MicCaptureTest, TheOutputBufferIsReusedWhileItsCapacitySuffices) {
    MicHost host;
    host.start();
    auto engine = engines().latest();
    uint64_t at = 0;
    auto feed = [&](uint32_t frames) {
        ASSERT_TRUE(engine->feed(tone(440, 0.5, 48000, at, frames)));
        at += frames;
    };
    feed(0);
    EXPECT_TRUE(bufferCapacities().empty());
    journal().failNext("makeBuffer");
    feed(4096);
    EXPECT_EQ(host.chunkCount(), 0u);
    for (int k = 0; k < 10; ++k) feed(4096);
    feed(1024);  // smaller: fits the buffer in hand
    feed(8192);  // larger: needs a new one
    for (int k = 0; k < 5; ++k) feed(4096);
    EXPECT_EQ(bufferCapacities(), (std::vector<uint32_t>{1366, 1366, 2731}));
    EXPECT_EQ(host.chunkCount(), 17u);
}

// Nothing more reaches the host, whatever the engine still has queued.
TEST_F(MicCaptureTest, StopWaitsForTheCallbackInProgressAndTakesEverythingDown) {
    MicHost host;
    std::atomic<bool> entered{false}, finished{false};
    host.onChunk = [&] {
        if (entered.exchange(true)) return;
        // Long enough that a stop which did not wait would return first.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        finished = true;
    };
    host.start();
    auto engine = engines().latest();
    engine->feedAsync(tone(440, 0.5, 48000, 0, 4096));
    while (!entered) std::this_thread::yield();
    EXPECT_EQ(linesOf(ov_stop_mic),
              (std::vector<std::string>{"[mic] Microphone capture stopped\n"}));
    EXPECT_TRUE(finished.load());
    expectAllTornDown();
    engine->feedAsync(tone(440, 0.5, 48000, 4096, 4096));
    EXPECT_FALSE(engine->feed(tone(440, 0.5, 48000, 8192, 4096)));
    EXPECT_EQ(host.chunkCount(), 1u);
}

// The first row is the start, each next one a configuration change of the previous row's engine.
// Whatever the device gives, the tap is mono float, planar, at its exact rate; the session keeps
// its callback and user pointer, and a second notification of a replaced engine changes nothing.
TEST_F(MicCaptureTest, ToneComesOutAt16kHzWithItsFrequencyAndLevelAcrossRestarts) {
    const struct {
        AudioFormatInfo device;
        double hz, amplitude;
        std::string rateText;
        uint32_t capacity;  // of the tap block's output buffer, for 4096 frames
    } rows[] = {{{22050.5, 2, AudioCommonFormat::pcmFormatInt16, true}, 1000, 0.5, "22050.5", 2973},
                {sim::simInputFormat(48000), 1000, 0.5, "48000.0", 1366},
                {sim::simInputFormat(44100), 1000, 0.5, "44100.0", 1487},
                {sim::simInputFormat(44100), 3150, 0.25, "44100.0", 1487},
                {sim::simInputFormat(24000), 2000, 0.5, "24000.0", 2731},
                {sim::simInputFormat(16000), 1000, 0.5, "16000.0", 4097}};
    MicHost host;
    size_t from = 0, chunks = 0;
    for (const auto& row : rows) {
        const double rate = row.device.sampleRate;
        SCOPED_TRACE(testing::Message() << rate << " Hz, tone " << row.hz);
        const bool first = &row == &rows[0];
        const int channels = int(row.device.channelCount), common = int(row.device.commonFormat);
        const auto previous = engines().latest();
        const std::string n = std::to_string(engines().count()),
                          m = std::to_string(engines().count() + 1);
        engines().setInputFormat(row.device);
        journal().clear();
        // Two notifiers posting the same change at once restart once.
        EXPECT_EQ(first ? linesOf([&] { host.start(); }) : postFromThreads(*platform, *previous, 2),
                  concat({{first ? permissionLine(3)
                                 : "[mic] Audio configuration changed, restarting capture\n"},
                          startLines(row.rateText, channels, common),
                          first ? std::vector<std::string>{}
                                : std::vector<std::string>{"[mic] Restarted on new device\n"}}));
        auto expected = first ? std::vector<std::string>{"authorizationStatus -> 3"}
                              : std::vector<std::string>{"inputNode engine=" + n,
                                                         "removeTapOnBus engine=" + n + " bus=0",
                                                         "engineStop engine=" + n};
        expected.insert(
            expected.end(),
            {"engineInit engine=" + m, "inputNode engine=" + m,
             "outputFormatForBus engine=" + m + " bus=0 -> " + row.rateText + "Hz " +
                 std::to_string(channels) + "ch common=" + std::to_string(common),
             "makeFormat common=1 rate=" + row.rateText + " channels=1 interleaved=false -> ok",
             "makeConverter from={" + row.rateText +
                 " 1ch float32 planar} to={16000.0 1ch int16 interleaved} -> ok",
             "installTapOnBus engine=" + m + " bus=0 bufferSize=4096 format=" + row.rateText +
                 "Hz 1ch common=1 interleaved=0",
             "startAndReturnError engine=" + m + " -> true"});
        EXPECT_EQ(journal().entries(), expected);
        if (!first) {
            EXPECT_TRUE(linesOf([&] { postConfigurationChange(*platform, *previous); }).empty());
            EXPECT_EQ(observers(), 1u);
        }
        EXPECT_EQ(host.chunkBytes().size(), chunks) << "nothing before the engine taps a buffer";
        const size_t made = bufferCapacities().size();
        uint64_t fed = 0;  // a second of the tone, in buffers of 4096 frames
        for (auto engine = engines().latest(); fed < uint64_t(rate); fed += 4096)
            ASSERT_TRUE(engine->feed(tone(row.hz, row.amplitude, rate, fed, 4096)));
        EXPECT_EQ(bufferCapacities().at(made), row.capacity);

        const auto pcm = host.samples();
        ASSERT_GT(pcm.size(), from + 15000u);
        // Past the resampler's start-up: the tone at its frequency, at its level.
        const std::vector<int16_t> steady(pcm.begin() + ptrdiff_t(from + 1600), pcm.end() - 100);
        EXPECT_NEAR(toneAmplitude(steady, row.hz), row.amplitude, 0.01);
        // About as many samples as the rate ratio gives (less the resampler's delay).
        const double expectedSamples = double(fed) * 16000 / rate;
        EXPECT_NEAR(double(pcm.size() - from), expectedSamples, expectedSamples * 0.02);
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
}

TEST_F(MicCaptureTest, ANotificationForADroppedSessionChangesNothing) {
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
