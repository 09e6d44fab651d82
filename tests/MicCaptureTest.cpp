// The microphone session on its own: what start sets up and in which order, what the tap block
// makes for each buffer, and what stop takes down.
#include <limits>

#include "MicTestSupport.h"
#include "mic/MicTapBlock.h"

namespace ovra::test {
namespace {

class MicCaptureTest : public MicTest {};

// The tap is mono float, not interleaved, at the device's exact rate, whatever the device gives.
TEST_F(MicCaptureTest, StartSetsUpInOrderAndLogsTheFormats) {
    engines().setInputFormat({22050.5, 2, AudioCommonFormat::pcmFormatInt16, true});
    MicHost host;
    EXPECT_EQ(linesOf([&] { host.start(); }),
              concat({{permissionLine(3)}, startLines("22050.5", 2, 3)}));
    ASSERT_EQ(host.statuses().size(), 1u);
    EXPECT_EQ(host.statuses()[0].status, 0);
    EXPECT_EQ(journal().entries(),
              (std::vector<std::string>{
                  "authorizationStatus -> 3", "engineInit engine=1", "inputNode engine=1",
                  "outputFormatForBus engine=1 bus=0 -> 22050.5Hz 2ch common=3",
                  "makeFormat common=1 rate=22050.5 channels=1 interleaved=false -> ok",
                  "makeConverter from={22050.5 1ch float32 planar} to={16000.0 1ch int16 "
                  "interleaved} -> ok",
                  "installTapOnBus engine=1 bus=0 bufferSize=4096 format=22050.5Hz 1ch common=1 "
                  "interleaved=0",
                  "startAndReturnError engine=1 -> true"}));
    EXPECT_EQ(engines().latest()->tapFormat()->sampleRate(), 22050.5);
    EXPECT_EQ(observers(), 1u);
    EXPECT_EQ(host.chunkCount(), 0u);  // nothing is delivered before the engine taps a buffer
}

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

// Stop returns only after the callback in progress has returned, and takes down the observer,
// the tap and the engine: nothing more reaches the host, whatever the engine still has queued.
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
    journal().clear();
    EXPECT_EQ(linesOf(ov_stop_mic),
              (std::vector<std::string>{"[mic] Microphone capture stopped\n"}));
    EXPECT_TRUE(finished.load());
    EXPECT_EQ(journal().entries(),
              (std::vector<std::string>{"inputNode engine=1", "removeTapOnBus engine=1 bus=0",
                                        "engineStop engine=1"}));
    expectAllTornDown();
    engine->feedAsync(tone(440, 0.5, 48000, 4096, 4096));
    EXPECT_FALSE(engine->feed(tone(440, 0.5, 48000, 8192, 4096)));
    EXPECT_EQ(host.chunkCount(), 1u);
}

}  // namespace
}  // namespace ovra::test
