// The microphone session on its own: what start sets up and in which order, what the tap block
// delivers for each buffer, and what stop takes down.
#include <limits>

#include "MicTestSupport.h"
#include "mic/MicCapture.h"
#include "mic/MicTapBlock.h"

namespace ovra::test {
namespace {

class MicCaptureTest : public MicTest {};

TEST_F(MicCaptureTest, StartSetsUpInOrderAndLogsTheFormats) {
    engines().setInputFormat({48000, 2, AudioCommonFormat::pcmFormatFloat32, false});
    MicHost host;
    testing::internal::CaptureStderr();
    host.start();
    EXPECT_EQ(lines(testing::internal::GetCapturedStderr()),
              concat({{kPermissionLine3}, startLines("48000.0", 2)}));
    ASSERT_EQ(host.statuses().size(), 1u);
    EXPECT_EQ(host.statuses()[0].status, 0);
    EXPECT_EQ(journalWithout(journal(), "authorizationStatus"),
              (std::vector<std::string>{
                  "engineInit engine=1", "inputNode engine=1",
                  "outputFormatForBus engine=1 bus=0 -> 48000.0Hz 2ch common=1",
                  "installTapOnBus engine=1 bus=0 bufferSize=4096 format=48000.0Hz 1ch common=1 "
                  "interleaved=0",
                  "startAndReturnError engine=1 -> true"}));
    EXPECT_EQ(observers(), 1u);
    EXPECT_EQ(host.chunkCount(), 0u);  // nothing is delivered before the engine taps a buffer
}

TEST_F(MicCaptureTest, TheTapFormatKeepsAnOddRateExactly) {
    engines().setInputFormat({22050.5, 1, AudioCommonFormat::pcmFormatInt16, true});
    MicHost host;
    testing::internal::CaptureStderr();
    host.start();
    EXPECT_EQ(lines(testing::internal::GetCapturedStderr()),
              (std::vector<std::string>{kPermissionLine3,
                                        "[mic] AVAudioEngine input format: 22050.5Hz, 1ch, 3\n",
                                        "[mic] Tap format (mono): 22050.5Hz, 1ch\n",
                                        "[mic] Microphone capture started (AVAudioEngine)\n"}));
    const auto format = engines().latest()->tapFormat();
    ASSERT_TRUE(format);
    EXPECT_EQ(format->sampleRate(), 22050.5);
    EXPECT_EQ(format->commonFormat(), AudioCommonFormat::pcmFormatFloat32);
    EXPECT_FALSE(format->isInterleaved());
}

TEST(MicOutputCapacity, OneSpareFrameOverTheRateRatio) {
    EXPECT_EQ(micOutputCapacity(16000, 48000, 4096), 1366u);
    EXPECT_EQ(micOutputCapacity(16000, 44100, 4096), 1487u);
    EXPECT_EQ(micOutputCapacity(16000, 16000, 4096), 4097u);
    EXPECT_EQ(micOutputCapacity(16000, 24000, 4096), 2731u);
    EXPECT_EQ(micOutputCapacity(16000, 48000, 1), 1u);
    // What the formats of a start cannot produce is refused rather than wrapped.
    EXPECT_EQ(micOutputCapacity(16000, 0, 4096), std::nullopt);
    EXPECT_EQ(micOutputCapacity(16000, std::numeric_limits<double>::quiet_NaN(), 4096),
              std::nullopt);
    EXPECT_EQ(micOutputCapacity(16000, 1e-3, std::numeric_limits<uint32_t>::max()), std::nullopt);
    EXPECT_EQ(micOutputCapacity(16000, 16000, std::numeric_limits<uint32_t>::max()), std::nullopt);
}

class MicDelivery : public MicTest, public ::testing::WithParamInterface<double> {};

TEST_P(MicDelivery, ChunksFitTheCapacityAndCarryEvenByteCounts) {
    const double rate = GetParam();
    engines().setInputFormat(sim::simInputFormat(rate));
    MicHost host;
    host.start();
    auto engine = engines().latest();
    const uint32_t capacity = *micOutputCapacity(16000, rate, 4096);
    for (int k = 0; k < 20; ++k)
        ASSERT_TRUE(engine->feed(tone(440, 0.5, rate, uint64_t(k) * 4096, 4096)));
    const auto bytes = host.chunkBytes();
    ASSERT_FALSE(bytes.empty());
    int64_t total = 0;
    for (int32_t b : bytes) {
        EXPECT_GT(b, 0);
        EXPECT_EQ(b % 2, 0);
        EXPECT_LE(b, int32_t(capacity) * 2);
        total += b / 2;
    }
    // About a third as many samples come out (less the resampler's delay).
    const double expected = 20 * 4096 * 16000 / rate;
    EXPECT_NEAR(double(total), expected, expected * 0.02);
    EXPECT_EQ(MicHost::strayCalls.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Rates, MicDelivery, ::testing::Values(48000.0, 44100.0, 16000.0));

TEST_F(MicCaptureTest, AnEmptyBufferDeliversNothing) {
    MicHost host;
    host.start();
    EXPECT_TRUE(engines().latest()->feed({}));  // the tap ran
    EXPECT_EQ(host.chunkCount(), 0u);
    EXPECT_TRUE(platform->micFacilities.bufferCapacities().empty());
}

TEST_F(MicCaptureTest, TheOutputBufferIsReusedWhileItsCapacitySuffices) {
    MicHost host;
    host.start();
    auto engine = engines().latest();
    uint64_t at = 0;
    auto feed = [&](uint32_t frames) {
        ASSERT_TRUE(engine->feed(tone(440, 0.5, 48000, at, frames)));
        at += frames;
    };
    for (int k = 0; k < 10; ++k) feed(4096);
    feed(1024);  // smaller: fits the buffer in hand
    feed(8192);  // larger: needs a new one
    for (int k = 0; k < 5; ++k) feed(4096);
    EXPECT_EQ(platform->micFacilities.bufferCapacities(), (std::vector<uint32_t>{1366, 2731}));
    EXPECT_GE(host.chunkCount(), 17u);
}

TEST_F(MicCaptureTest, ABufferThatCannotBeMadeDropsOnlyThatChunk) {
    MicHost host;
    host.start();
    auto engine = engines().latest();
    {
        std::lock_guard lock(platform->micFacilities.mutex);
        platform->micFacilities.refuseBuffers = 1;
    }
    ASSERT_TRUE(engine->feed(tone(440, 0.5, 48000, 0, 4096)));
    EXPECT_EQ(host.chunkCount(), 0u);
    ASSERT_TRUE(engine->feed(tone(440, 0.5, 48000, 4096, 4096)));
    EXPECT_EQ(host.chunkCount(), 1u);
    EXPECT_EQ(platform->micFacilities.bufferCapacities(), (std::vector<uint32_t>{1366, 1366}));
}

TEST_F(MicCaptureTest, StopTakesDownObserverTapAndEngine) {
    MicHost host;
    host.start();
    auto engine = engines().latest();
    ASSERT_TRUE(engine->feed(tone(440, 0.5, 48000, 0, 4096)));
    const size_t before = host.chunkCount();
    journal().clear();
    testing::internal::CaptureStderr();
    ov_stop_mic();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[mic] Microphone capture stopped\n");
    EXPECT_EQ(journal().entries(),
              (std::vector<std::string>{"inputNode engine=1", "removeTapOnBus engine=1 bus=0",
                                        "engineStop engine=1"}));
    EXPECT_EQ(observers(), 0u);
    EXPECT_FALSE(engine->isRunning());
    EXPECT_FALSE(engine->feed(tone(440, 0.5, 48000, 4096, 4096)));
    EXPECT_EQ(host.chunkCount(), before);
}

TEST_F(MicCaptureTest, StopOnASessionThatNeverStartedDoesNothingElse) {
    auto session = std::make_shared<MicCapture>([](const uint8_t*, int32_t, void*) {}, nullptr);
    testing::internal::CaptureStderr();
    session->stop();
    session->stop();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(session->capturing());
    EXPECT_TRUE(journal().entries().empty());
}

TEST_F(MicCaptureTest, AStopFromInsideTheDataCallbackDoesNotWaitForItself) {
    MicHost host;
    std::atomic<int> stopsInside{0};
    host.onChunk = [&](MicHost&) {
        if (stopsInside++ == 0) ov_stop_mic();
    };
    host.start();
    auto engine = engines().latest();
    testing::internal::CaptureStderr();
    ASSERT_TRUE(engine->feed(tone(440, 0.5, 48000, 0, 4096)));  // returns: no deadlock
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[mic] Microphone capture stopped\n");
    EXPECT_EQ(stopsInside.load(), 1);
    EXPECT_FALSE(engine->isRunning());
    EXPECT_FALSE(engine->hasTap());
    EXPECT_EQ(observers(), 0u);
    EXPECT_FALSE(engine->feed(tone(440, 0.5, 48000, 4096, 4096)));
    EXPECT_EQ(host.chunkCount(), 1u);
}

TEST_F(MicCaptureTest, StopReturnsOnlyAfterTheCallbackInProgressHasReturned) {
    MicHost host;
    std::atomic<bool> entered{false}, finished{false};
    host.onChunk = [&](MicHost&) {
        if (entered.exchange(true)) return;
        // Long enough that a stop which did not wait would return first.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        finished = true;
    };
    host.start();
    auto engine = engines().latest();
    engine->feedAsync(tone(440, 0.5, 48000, 0, 4096));
    while (!entered) std::this_thread::yield();
    ov_stop_mic();
    EXPECT_TRUE(finished.load());
    // Nothing more reaches the host, whatever the engine still has queued.
    engine->feedAsync(tone(440, 0.5, 48000, 4096, 4096));
    EXPECT_FALSE(engine->feed(tone(440, 0.5, 48000, 8192, 4096)));
    EXPECT_EQ(host.chunkCount(), 1u);
}

}  // namespace
}  // namespace ovra::test
