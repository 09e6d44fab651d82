// System audio and the microphone side by side: each through its own callbacks, and each
// stopped as a host may stop it.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "e2e/AudioHost.h"
#include "e2e/ToneAnalysis.h"

using namespace std::chrono_literals;
using namespace ovra::e2e;

namespace {

class MicWithSystemAudio : public WithPulseServer {
  protected:
    void SetUp() override {
        WithPulseServer::SetUp();
        ASSERT_GE(server.addMicrophone("mic1", 44100, 1), 0);
        server.play(server.makeTone("t440", {.frequency = 440, .rate = 44100, .channels = 1}),
                    "mic1.sink");
        server.play(server.makeTone("t1000", {.frequency = 1000}), "speakers");
    }
};

const char* nameOf(Capture c) {
    return c == Capture::mic ? "mic" : "system audio";
}

}  // namespace

TEST_F(MicWithSystemAudio, EachCaptureHearsItsOwnSourceThroughItsOwnCallbacks) {
    AudioHost system(Capture::systemAudio), mic(Capture::mic);
    stderrLinesOf([&] {
        system.start();
        mic.start();
        EXPECT_EQ(system.statusCodes(), std::vector<int32_t>{0});
        EXPECT_EQ(mic.statusCodes(), std::vector<int32_t>{0});

        ASSERT_TRUE(
            waitUntil([&] { return system.sampleCount() >= 16000 && mic.sampleCount() >= 16000; }));
        std::this_thread::sleep_for(500ms);
        const auto heardByMic = mic.lastSamples(8000);
        EXPECT_EQ(strongestFrequency(system.lastSamples(8000)), 1000);
        EXPECT_EQ(strongestFrequency(heardByMic), 440);
        EXPECT_LT(toneAmplitude(heardByMic, 1000), 0.01) << "the speakers do not leak in";

        // Stopping one leaves the other running.
        system.stop();
        EXPECT_TRUE(mic.waitForSamples(mic.sampleCount() + 8000));
        mic.stop();
    });
    EXPECT_EQ(mic.wrongUser, 0);
    EXPECT_EQ(system.wrongUser, 0);
}

TEST_F(MicWithSystemAudio, StopFromInsideTheDataCallbackOrOutsideEndsTheSession) {
    for (Capture capture : {Capture::mic, Capture::systemAudio}) {
        SCOPED_TRACE(nameOf(capture));
        AudioHost host(capture), next(capture);
        host.stopInsideCallback = true;
        stderrLinesOf([&] {
            host.start();
            ASSERT_EQ(host.statusCodes(), std::vector<int32_t>{0});
            ASSERT_TRUE(waitUntil([&] { return host.stopFromCallbackReturned.load(); }));
            std::this_thread::sleep_for(300ms);
            EXPECT_EQ(host.chunks, 3);
            next.start();  // the stop took the session out: the slot is free again
            EXPECT_EQ(next.statusCodes(), std::vector<int32_t>{0});
            EXPECT_TRUE(next.waitForSamples(1600));
            next.stop();
        });
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(next.callsAfterStop, 0) << "no data callback after stop returns";
    }
}
