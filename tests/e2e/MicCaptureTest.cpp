// The microphone as a host sees it through dlopen, against a private PulseAudio and PipeWire server
// with paced fake microphones, or with nothing to record from; and beside system audio.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "e2e/AudioHost.h"
#include "e2e/ToneAnalysis.h"

using namespace std::chrono_literals;
using namespace ovra::e2e;

namespace {

const std::string kPermissionLine =
    "[mic] Permission status: 3 (0=notDetermined, 1=restricted, 2=denied, 3=authorized)";
const std::string kStartedLine = "[mic] Microphone capture started (AVAudioEngine)";
const std::string kChangedLine = "[mic] Audio configuration changed, restarting capture";
const std::string kNoInputText = "No input device available (AVAudioEngine returned 0Hz/0ch)";

// The frequency heard in the last quarter second.
double heardFrequency(AudioHost& host) {
    return strongestFrequency(host.lastSamples(4000));
}

std::string lastMicError() {
    uint8_t* buffer = nullptr;
    int32_t length = -1;
    Library::get().getLastMicError(&buffer, &length);
    std::string text = buffer ? std::string(reinterpret_cast<char*>(buffer), size_t(length)) : "";
    EXPECT_TRUE(!buffer || buffer[length] == 0) << "NUL-terminated";
    Library::get().freeBuffer(buffer);
    return text;
}

class MicCapture : public WithSoundServer {};

// System audio and the microphone side by side: each through its own callbacks, each stopped as a
// host may stop it.
class MicWithSystemAudio : public WithSoundServer {
  protected:
    void SetUp() override {
        WithSoundServer::SetUp();
        ASSERT_GE(server.addMicrophone("mic1", 44100, 1), 0);
        server.play(server.makeTone("t440", {.frequency = 440, .rate = 44100, .channels = 1}),
                    "mic1.sink");
        server.play(server.makeTone("t1000", {.frequency = 1000}), "speakers");
    }
};

const char* nameOf(Capture c) {
    return c == Capture::mic ? "mic" : "system audio";
}

// Starts once and checks the -2 answer, its line and the 58-byte record.
void expectNoInputDevice() {
    AudioHost host(Capture::mic);
    const auto lines = stderrLinesOf([&] { host.start(); });
    EXPECT_EQ(host.statusCodes(), std::vector<int32_t>{-2});
    EXPECT_EQ(lines, (std::vector<std::string>{kPermissionLine,
                                               "[mic] AVAudioEngine input format: 0.0Hz, 0ch, 1",
                                               "[mic] Failed to start capture: " + kNoInputText}));
    EXPECT_EQ(lastMicError(), kNoInputText) << "the 58-byte record";

    // Nothing was registered: the next start fails the same way rather than with -1.
    AudioHost again(Capture::mic);
    stderrLinesOf([&] { again.start(); });
    EXPECT_EQ(again.statusCodes(), std::vector<int32_t>{-2});
}

}  // namespace

OVRA_ON_BOTH_SERVERS(MicCapture);
OVRA_ON_BOTH_SERVERS(MicWithSystemAudio);

// One session through its device's life: started on mic1, following mic2 as the new default,
// untouched by losing a microphone it does not record, silent when its own goes, and back when one
// appears.
TEST_P(MicCapture, MicFollowsANewDefaultGoesSilentWhenItsMicrophoneGoesAndComesBackWithANewOne) {
    const int mic1 = server.addMicrophone("mic1", 44100, 1);
    const int mic2 = server.addMicrophone("mic2", 48000, 2);
    ASSERT_GE(mic2, 0);
    const auto [rate1, channels1] = server.sourceFormat("mic1");
    ASSERT_EQ(server.pactl({"set-default-source", "mic1"}), 0);
    server.play(server.makeTone("t440", {.frequency = 440, .rate = 44100, .channels = 1}),
                "mic1.sink");
    server.play(server.makeTone("t1000", {.frequency = 1000}), "mic2.sink");
    AudioHost host(Capture::mic), second(Capture::mic);
    const auto lines = stderrLinesOf([&] {
        host.start();
        EXPECT_EQ(host.statusCodes(), std::vector<int32_t>{0});

        // The first tone, converted to 16 kHz, arriving at the pace of real time.
        ASSERT_TRUE(host.waitForSamples(8000));
        const auto began = std::chrono::steady_clock::now();
        const size_t before = host.sampleCount();
        std::this_thread::sleep_for(2s);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        EXPECT_NEAR(double(host.sampleCount() - before) / seconds, 16000.0, 1600.0);
        EXPECT_EQ(heardFrequency(host), 440);
        EXPECT_NEAR(dbfs(toneAmplitude(host.lastSamples(8000), 440)), -6, 1);

        // A new default microphone: the same callbacks go on, now hearing the second tone.
        ASSERT_EQ(server.pactl({"set-default-source", "mic2"}), 0);
        EXPECT_TRUE(waitUntil([&] { return heardFrequency(host) == 1000; }));
        ASSERT_EQ(server.pactl({"unload-module", std::to_string(mic1)}), 0);  // not recorded
        std::this_thread::sleep_for(1s);
        EXPECT_EQ(heardFrequency(host), 1000);
        EXPECT_NEAR(dbfs(toneAmplitude(host.lastSamples(8000), 1000)), -6, 1);

        // The recorded microphone goes and only a monitor is left, which is no microphone.
        ASSERT_EQ(server.pactl({"unload-module", std::to_string(mic2)}), 0);
        EXPECT_TRUE(host.waitForSilence(1s, 10s));
        const size_t silentAt = host.sampleCount();
        second.start();
        EXPECT_EQ(second.statusCodes(), std::vector<int32_t>{-1}) << "still registered";
        // A microphone that appears revives it, with no call from the host.
        ASSERT_GE(server.addMicrophone("mic3", 48000, 2), 0);
        server.play(server.makeTone("t700", {.frequency = 700}), "mic3.sink");
        EXPECT_TRUE(waitUntil(
            [&] { return host.sampleCount() > silentAt + 8000 && heardFrequency(host) == 700; }));

        host.stop();
        second.start();
        EXPECT_EQ(second.statusCodes(), (std::vector<int32_t>{-1, 0})) << "free again after stop";
        second.stop();
    });
    EXPECT_TRUE(containsRun(
        lines, {kPermissionLine,
                "[mic] AVAudioEngine input format: " + rate1 + ".0Hz, " + channels1 + "ch, 1",
                "[mic] Tap format (mono): " + rate1 + ".0Hz, 1ch", kStartedLine}))
        << testing::PrintToString(lines);
    EXPECT_TRUE(
        containsRun(lines, {kChangedLine, "[mic] AVAudioEngine input format: 48000.0Hz, 2ch, 1",
                            "[mic] Tap format (mono): 48000.0Hz, 1ch", kStartedLine,
                            "[mic] Restarted on new device"}));
    EXPECT_TRUE(containsRun(lines, {kChangedLine, "[mic] AVAudioEngine input format: 0.0Hz, 0ch, 1",
                                    "[mic] Failed to restart: " + kNoInputText}));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kChangedLine), 3) << "one per device change";
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[mic] Restarted on new device"), 2);
    EXPECT_TRUE(containsRun(lines, {kPermissionLine, "[mic] Mic capture already running"}));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "[mic] Microphone capture stopped");
    EXPECT_EQ(host.statusCodes(), std::vector<int32_t>{0});
    EXPECT_EQ(host.wrongUser, 0);
    EXPECT_EQ(host.badSizes, 0);
    EXPECT_EQ(lastMicError(), "") << "restarts, failed or not, touch no error record";
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(host.callsAfterStop + second.callsAfterStop, 0);
}

TEST_P(MicCapture, MicOnOnlyAMonitorIsNoInputDevice) {
    std::string out;
    server.pactl({"get-default-source"}, &out);
    ASSERT_EQ(out, "speakers.monitor\n");
    server.play(server.makeTone("t", {.frequency = 440}));  // the monitor hears it: still no mic
    expectNoInputDevice();
}

TEST(MicNoServer, IsNoInputDevice) {
    setenv("PULSE_SERVER", "unix:/nonexistent/ovra-mic/native", 1);
    expectNoInputDevice();
}

TEST_P(MicWithSystemAudio, EachCaptureHearsItsOwnSourceThroughItsOwnCallbacks) {
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

TEST_P(MicWithSystemAudio, StopFromInsideTheDataCallbackOrOutsideEndsTheSession) {
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
