// The microphone as a host sees it through dlopen, against a private PulseAudio server with two
// paced fake microphones: mic1 (44.1 kHz mono, hearing 440 Hz) and mic2 (48 kHz stereo, hearing
// 1000 Hz).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "e2e/MicHost.h"
#include "e2e/MicSignal.h"
#include "e2e/PulseServer.h"

using namespace std::chrono_literals;
using namespace ovra::e2e;

namespace {

const std::string kPermissionLine =
    "[mic] Permission status: 3 (0=notDetermined, 1=restricted, 2=denied, 3=authorized)";
const std::string kStartedLine = "[mic] Microphone capture started (AVAudioEngine)";
const std::string kChangedLine = "[mic] Audio configuration changed, restarting capture";
const std::string kStoppedLine = "[mic] Microphone capture stopped";
const std::string kNoInputText = "No input device available (AVAudioEngine returned 0Hz/0ch)";

struct Microphones {
    int mic1Module = -1;
    int mic2Module = -1;
};

Microphones addTwoMicrophones(PulseServer& server) {
    Microphones m;
    m.mic1Module = server.addMicrophone("mic1", 44100, 1);
    m.mic2Module = server.addMicrophone("mic2", 48000, 2);
    server.pactl({"set-default-source", "mic1"});
    server.play(server.makeTone("t440", {.frequency = 440, .rate = 44100, .channels = 1}),
                "mic1.sink");
    server.play(server.makeTone("t1000", {.frequency = 1000}), "mic2.sink");
    return m;
}

// The frequency heard in the last quarter second.
double heardFrequency(MicHost& host) {
    return strongestFrequency(host.lastSamples(4000), 16000.0, 200, 2000, 32768.0);
}

std::string lastMicError() {
    uint8_t* buffer = nullptr;
    int32_t length = -1;
    Library::get().getLastMicError(&buffer, &length);
    std::string text = buffer ? std::string(reinterpret_cast<char*>(buffer), size_t(length)) : "";
    Library::get().freeBuffer(buffer);
    return text;
}

}  // namespace

TEST(MicCapture, StartsOnTheDefaultMicrophoneAndFollowsANewDefault) {
    PulseServer server;
    ASSERT_TRUE(server.ok());
    server.useInThisProcess();
    addTwoMicrophones(server);

    MicHost host;
    testing::internal::CaptureStderr();
    host.start();
    EXPECT_EQ(host.statusCodes(), std::vector<int32_t>{0});

    // The first tone, converted to 16 kHz, arriving at the pace of real time.
    ASSERT_TRUE(waitUntil([&] { return host.sampleCount() >= 8000; }));
    const auto began = std::chrono::steady_clock::now();
    const size_t before = host.sampleCount();
    std::this_thread::sleep_for(2s);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_NEAR(double(host.sampleCount() - before) / seconds, 16000.0, 1600.0);
    EXPECT_EQ(heardFrequency(host), 440);
    EXPECT_NEAR(dbfs(int16ToneAmplitude(host.lastSamples(8000), 440)), -6, 1);

    // A new default microphone: the same callbacks go on, now hearing the second tone.
    ASSERT_EQ(server.pactl({"set-default-source", "mic2"}), 0);
    EXPECT_TRUE(waitUntil([&] { return heardFrequency(host) == 1000; }));
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(heardFrequency(host), 1000);
    EXPECT_NEAR(dbfs(int16ToneAmplitude(host.lastSamples(8000), 1000)), -6, 1);

    host.stop();
    const auto lines = linesOf(testing::internal::GetCapturedStderr());
    EXPECT_TRUE(
        containsRun(lines, {kPermissionLine, "[mic] AVAudioEngine input format: 44100.0Hz, 1ch, 1",
                            "[mic] Tap format (mono): 44100.0Hz, 1ch", kStartedLine}));
    EXPECT_TRUE(
        containsRun(lines, {kChangedLine, "[mic] AVAudioEngine input format: 48000.0Hz, 2ch, 1",
                            "[mic] Tap format (mono): 48000.0Hz, 1ch", kStartedLine,
                            "[mic] Restarted on new device"}));
    EXPECT_EQ(countOf(lines, kChangedLine), 1u) << "one device change, one restart";
    EXPECT_EQ(lines.back(), kStoppedLine);
    EXPECT_EQ(host.statusCodes(), std::vector<int32_t>{0});
    EXPECT_EQ(host.wrongUser, 0);
    EXPECT_EQ(host.badSizes, 0);
    EXPECT_EQ(lastMicError(), "") << "a restart touches no error record";
}

TEST(MicCapture, LosingTheMicrophoneLeavesTheSessionSilentAndRegisteredUntilStop) {
    PulseServer server;
    ASSERT_TRUE(server.ok());
    server.useInThisProcess();
    const int mic1 = server.addMicrophone("mic1", 44100, 1);
    ASSERT_GE(mic1, 0);
    server.play(server.makeTone("t440", {.frequency = 440, .rate = 44100, .channels = 1}),
                "mic1.sink");

    MicHost host;
    testing::internal::CaptureStderr();
    host.start();
    ASSERT_TRUE(waitUntil([&] { return host.sampleCount() >= 8000; }));

    // The only microphone goes: the server falls back to a monitor, which is no microphone.
    ASSERT_EQ(server.pactl({"unload-module", std::to_string(mic1)}), 0);
    EXPECT_TRUE(host.waitForSilence(1s, 10s));
    const size_t silentAt = host.sampleCount();

    MicHost second;
    second.start();
    EXPECT_EQ(second.statusCodes(), std::vector<int32_t>{-1}) << "still registered";
    // Even a microphone coming back does not revive it: nothing retries.
    ASSERT_GE(server.addMicrophone("mic2", 48000, 2), 0);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(host.sampleCount(), silentAt);

    host.stop();
    second.start();
    EXPECT_EQ(second.statusCodes(), (std::vector<int32_t>{-1, 0})) << "free again after stop";
    second.stop();

    const auto lines = linesOf(testing::internal::GetCapturedStderr());
    EXPECT_TRUE(containsRun(lines, {kChangedLine, "[mic] AVAudioEngine input format: 0.0Hz, 0ch, 1",
                                    "[mic] Failed to restart: " + kNoInputText}));
    EXPECT_EQ(countOf(lines, kChangedLine), 1u);
    EXPECT_TRUE(containsRun(lines, {kPermissionLine, "[mic] Mic capture already running"}));
    EXPECT_EQ(lastMicError(), "") << "a failed restart leaves the record as it was";
    EXPECT_EQ(host.statusCodes(), std::vector<int32_t>{0});
}

TEST(MicCapture, NoDataCallbackAfterStopReturns) {
    PulseServer server;
    ASSERT_TRUE(server.ok());
    server.useInThisProcess();
    addTwoMicrophones(server);

    for (int round = 0; round < 3; ++round) {
        MicHost host;
        host.start();
        ASSERT_EQ(host.statusCodes(), std::vector<int32_t>{0});
        ASSERT_TRUE(waitUntil([&] { return host.chunks >= 2 + round * 3; }));
        host.stop();
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(host.callsAfterStop, 0) << "round " << round;
    }
}

TEST(MicCapture, StopFromInsideTheDataCallbackReturns) {
    PulseServer server;
    ASSERT_TRUE(server.ok());
    server.useInThisProcess();
    addTwoMicrophones(server);

    MicHost host;
    host.stopInsideCallback = true;
    host.start();
    ASSERT_TRUE(waitUntil([&] { return host.stopFromCallbackReturned.load(); }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(host.chunks, 3);

    MicHost next;
    next.start();
    EXPECT_EQ(next.statusCodes(), std::vector<int32_t>{0}) << "the stop took the session out";
    EXPECT_TRUE(waitUntil([&] { return next.chunks > 0; }));
    next.stop();
}
