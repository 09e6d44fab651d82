// The microphone's rebuild on a configuration change of its engine: the lines, the new engine,
// the data that keeps coming, and the notifications that must change nothing.
#include "MicTestSupport.h"
#include "mic/MicCapture.h"

namespace ovra::test {
namespace {

const char* kChangedLine = "[mic] Audio configuration changed, restarting capture\n";
const char* kRestartedLine = "[mic] Restarted on new device\n";

class MicRestartTest : public MicTest {
  protected:
    void startCapturing(MicHost& host) {
        host.start();
        ASSERT_EQ(host.statuses().size(), 1u);
        ASSERT_EQ(host.statuses()[0].status, 0);
    }
    std::vector<std::string> postAndCapture(const sim::SimAudioEngine& engine) {
        testing::internal::CaptureStderr();
        postFromOtherThread(*platform, engine);
        return lines(testing::internal::GetCapturedStderr());
    }
};

TEST_F(MicRestartTest, ARateChangeRebuildsTheEngineAndTheToneGoesOn) {
    MicHost host;
    startCapturing(host);
    auto first = engines().latest();
    feedTone(*first, 1000, 0.5, 48000, 0.5);
    const size_t before = host.samples().size();

    engines().setInputFormat(sim::simInputFormat(24000));
    journal().clear();
    EXPECT_EQ(postAndCapture(*first),
              concat({{kChangedLine}, startLines("24000.0"), {kRestartedLine}}));
    EXPECT_EQ(journal().entries(),
              (std::vector<std::string>{
                  "inputNode engine=1", "removeTapOnBus engine=1 bus=0", "engineStop engine=1",
                  "engineInit engine=2", "inputNode engine=2",
                  "outputFormatForBus engine=2 bus=0 -> 24000.0Hz 1ch common=1",
                  "installTapOnBus engine=2 bus=0 bufferSize=4096 format=24000.0Hz 1ch common=1 "
                  "interleaved=0",
                  "startAndReturnError engine=2 -> true"}));
    EXPECT_FALSE(first->isRunning());
    EXPECT_EQ(observers(), 1u);

    auto second = engines().latest();
    feedTone(*second, 2000, 0.5, 24000, 0.5);
    const auto pcm = host.samples();
    ASSERT_GT(pcm.size(), before + 7000);
    EXPECT_NEAR(measuredFrequency(pcm, 1600, before - 100, 16000), 1000, 2);
    EXPECT_NEAR(measuredFrequency(pcm, before + 1600, pcm.size() - 100, 16000), 2000, 4);
    EXPECT_NEAR(measuredAmplitude(pcm, before + 1600, pcm.size() - 100), 0.5, 0.01);
    for (int32_t b : host.chunkBytes()) EXPECT_LE(b, 2731 * 2);
    EXPECT_EQ(MicHost::strayCalls.load(), 0);  // the same callback, with the same user pointer
    EXPECT_EQ(host.statuses().size(), 1u);     // a restart makes no status call
}

TEST_F(MicRestartTest, OnlyTheNewEnginesNotificationsCount) {
    MicHost host;
    startCapturing(host);
    auto first = engines().latest();
    EXPECT_EQ(postAndCapture(*first),
              concat({{kChangedLine}, startLines("48000.0"), {kRestartedLine}}));
    // The second notification of the same engine finds no observer any more.
    EXPECT_TRUE(postAndCapture(*first).empty());
    EXPECT_EQ(engines().count(), 2u);

    EXPECT_EQ(postAndCapture(*engines().latest()),
              concat({{kChangedLine}, startLines("48000.0"), {kRestartedLine}}));
    EXPECT_EQ(engines().count(), 3u);
    EXPECT_EQ(observers(), 1u);
    for (size_t i = 0; i + 1 < engines().count(); ++i) {
        EXPECT_FALSE(engines().all()[i]->isRunning());
        EXPECT_FALSE(engines().all()[i]->hasTap());
    }
}

TEST_F(MicRestartTest, ANotificationAfterStopChangesNothing) {
    MicHost host;
    startCapturing(host);
    auto engine = engines().latest();
    ov_stop_mic();
    EXPECT_TRUE(postAndCapture(*engine).empty());
    EXPECT_EQ(engines().count(), 1u);
}

TEST_F(MicRestartTest, ANotificationForADroppedSessionChangesNothing) {
    // Dropped without stop, its observer is still registered: only the weak reference knows.
    auto session = std::make_shared<MicCapture>([](const uint8_t*, int32_t, void*) {}, nullptr);
    testing::internal::CaptureStderr();
    session->start();
    testing::internal::GetCapturedStderr();
    session.reset();
    ASSERT_EQ(observers(), 1u);
    EXPECT_TRUE(postAndCapture(*engines().latest()).empty());
    EXPECT_EQ(engines().count(), 1u);
}

TEST_F(MicRestartTest, AFailedRestartLeavesTheSessionRegisteredAndSilentUntilStopped) {
    engines().failNextStart("busy");
    MicHost failed;
    failed.start();
    MicHost host;
    startCapturing(host);
    auto first = engines().latest();

    engines().setInputFormat({0, 0, AudioCommonFormat::otherFormat, false});
    EXPECT_EQ(
        postAndCapture(*first),
        (std::vector<std::string>{kChangedLine, "[mic] AVAudioEngine input format: 0.0Hz, 0ch, 0\n",
                                  "[mic] Failed to restart: No input device available "
                                  "(AVAudioEngine returned 0Hz/0ch)\n"}));
    EXPECT_FALSE(first->isRunning());
    EXPECT_FALSE(first->hasTap());
    EXPECT_EQ(observers(), 0u);

    // Still registered: a start is answered -1 until the stop takes the session out.
    MicHost again;
    again.start();
    EXPECT_EQ(again.statuses()[0].status, -1);
    uint8_t* text = nullptr;
    int32_t length = 0;
    ov_get_last_mic_error(&text, &length);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(text), size_t(length)),
              "AVAudioEngine failed to start: busy");
    ov_free_buffer(text);
    EXPECT_TRUE(postAndCapture(*first).empty());  // nothing retries

    testing::internal::CaptureStderr();
    ov_stop_mic();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[mic] Microphone capture stopped\n");
    engines().setInputFormat(sim::simInputFormat(48000));
    MicHost fresh;
    fresh.start();
    EXPECT_EQ(fresh.statuses()[0].status, 0);
}

TEST_F(MicRestartTest, AnEngineRefusingToStartOnRestartIsLoggedWithItsText) {
    MicHost host;
    startCapturing(host);
    auto first = engines().latest();
    engines().failNextStart("device in use");
    const auto out = postAndCapture(*first);
    EXPECT_EQ(out.back(),
              "[mic] Failed to restart: AVAudioEngine failed to start: device in use\n");
    EXPECT_FALSE(engines().latest()->hasTap());
    EXPECT_EQ(observers(), 0u);
}

TEST_F(MicRestartTest, AnErrorOfAnotherKindOnRestartIsLoggedAndCaught) {
    MicHost host;
    startCapturing(host);
    engines().throwOnNextStart("engine exploded");
    const auto out = postAndCapture(*engines().latest());
    EXPECT_EQ(out.back(), "[mic] Failed to restart: engine exploded\n");
    EXPECT_FALSE(engines().latest()->hasTap());
}

TEST_F(MicRestartTest, AStopFromInsideTheCallbackAfterARestartEndsEverything) {
    MicHost host;
    std::atomic<bool> stopNow{false};
    host.onChunk = [&](MicHost&) {
        if (stopNow.exchange(false)) ov_stop_mic();
    };
    startCapturing(host);
    postAndCapture(*engines().latest());
    auto second = engines().latest();
    stopNow = true;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(second->feed(tone(440, 0.5, 48000, 0, 4096)));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[mic] Microphone capture stopped\n");
    for (auto& e : engines().all()) {
        EXPECT_FALSE(e->isRunning());
        EXPECT_FALSE(e->hasTap());
    }
    EXPECT_EQ(observers(), 0u);
}

}  // namespace
}  // namespace ovra::test
