// System audio and the microphone through dlopen on a private PulseAudio and PipeWire: what each
// start hears, and devices that change or go and a server that restarts under the host.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "e2e/AudioHost.h"

using namespace std::chrono_literals;
using namespace ovra::e2e;

namespace {

constexpr double kHalfScale = 0.5;  // the peak of a -6 dBFS sine

const std::string kChangedLine = "[mic] Audio configuration changed, restarting capture";
const std::string kNoInputText = "No input device available (AVAudioEngine returned 0Hz/0ch)";

// The frequency heard in the last quarter second.
double heardFrequency(AudioHost& host) {
    return strongestFrequency(host.lastSamples(4000));
}

constexpr size_t kWindow = 160;  // 10 ms at 16 kHz

// The longest run of 10 ms windows without any tone in `x` (below -50 dBFS), in seconds.
double longestSilence(const std::vector<int16_t>& x) {
    size_t run = 0, longest = 0;
    for (size_t at = 0; at + kWindow <= x.size(); at += kWindow) {
        const int peak = std::abs(*std::max_element(
            x.begin() + std::ptrdiff_t(at), x.begin() + std::ptrdiff_t(at + kWindow),
            [](int16_t a, int16_t b) { return std::abs(a) < std::abs(b); }));
        run = peak < 100 ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return double(longest * kWindow) / 16000.0;
}

constexpr int kRestarts = 8;

std::string changedLine(const std::string& device) {
    return "[tap] Default output device changed: " + device;
}

// Two output devices, each playing its own tone (players stay on their sink, as an application
// routed there would), and a microphone declared as a sound card's.
class Desktop : public WithSoundServer {
  protected:
    Desktop() : WithSoundServer({{"mic1", 48000, 2}}) {}

    void SetUp() override {
        WithSoundServer::SetUp();
        headphonesModule = server.loadModule("module-null-sink", "sink_name=headphones rate=44100");
        ASSERT_GE(headphonesModule, 0);
        ASSERT_TRUE(server.pactl({"set-default-sink", "speakers"}) == 0);
        playTones();
    }
    // (Again, after a restart ended the players and the devices loaded since the start.)
    void playTones(bool headphones = true) {
        server.playTone("speakers", {.frequency = 700, .seconds = 120});
        if (headphones)
            server.playTone("headphones", {.frequency = 1100, .seconds = 120, .rate = 44100});
        server.playTone("mic1.sink", {.frequency = 440, .seconds = 120});
    }
    int headphonesModule = -1;
};

class SystemAudio : public WithSoundServer {};
class MicCapture : public WithSoundServer {};

}  // namespace

OVRA_ON_BOTH_SERVERS(SystemAudio);
OVRA_ON_BOTH_SERVERS(MicCapture);
OVRA_ON_BOTH_SERVERS(Desktop);

// The default output changes, goes, or is odd (8 kHz mono, 192 kHz with 8 channels, followed in
// the format of the start): one stream follows it, one line per change. (PipeWire moves players
// to a new default sink when theirs goes; only PulseAudio's are known to stay where they were.)
TEST_P(Desktop, SystemAudioFollowsTheDefaultOutputWhereverItGoes) {
    struct Row {
        const char* sink;
        int rate, channels;
        double frequency;
    };
    const Row rows[] = {{"narrow", 8000, 1, 300}, {"wide", 192000, 8, 900}};
    AudioHost host(Capture::systemAudio);
    // Data keeps coming after a move, with the expected tone where the players stay put.
    auto delivers = [&](double frequency, size_t from) {
        if (!onPipeWire()) return host.hears(frequency, from, 10000ms);
        return host.waitForSamples(from + 8000, 10000ms);
    };
    std::vector<std::string> lines = stderrLinesOf([&] {
        host.start();
        ASSERT_EQ(host.statusCodes(), std::vector<int32_t>{0});
        ASSERT_TRUE(host.hears(700));

        // A new default: the same stream hears the other tone, after a short silence.
        const size_t before = host.sampleCount();
        ASSERT_EQ(server.pactl({"set-default-sink", "headphones"}), 0);
        ASSERT_TRUE(host.hears(1100, before));
        std::this_thread::sleep_for(500ms);
        EXPECT_LT(longestSilence(host.samplesSince(before)), 0.5);

        // Ten changes within a second end on the last one.
        for (int i = 0; i < 10; ++i) {
            server.pactl({"set-default-sink", i % 2 ? "headphones" : "speakers"});
            std::this_thread::sleep_for(50ms);
        }
        std::this_thread::sleep_for(1s);
        EXPECT_TRUE(host.hears(1100, host.sampleCount()));

        // The captured device goes: the capture moves to whatever is the default then.
        const size_t gone = host.sampleCount();
        ASSERT_EQ(server.pactl({"unload-module", std::to_string(headphonesModule)}), 0);
        ASSERT_TRUE(host.hears(700, gone));
        EXPECT_LT(longestSilence(host.samplesSince(gone)), 1.0);

        for (const Row& r : rows) {
            SCOPED_TRACE(r.sink);
            ASSERT_GE(server.loadModule("module-null-sink",
                                        std::string("sink_name=") + r.sink +
                                            " rate=" + std::to_string(r.rate) +
                                            " channels=" + std::to_string(r.channels)),
                      0);
            server.playTone(r.sink, {.frequency = r.frequency, .rate = r.rate, .channels = 1});
            const size_t from = host.sampleCount();
            ASSERT_EQ(server.pactl({"set-default-sink", r.sink}), 0);
            EXPECT_TRUE(delivers(r.frequency, from));
        }
        // A default that vanishes at once.
        const int vanishing = server.loadModule("module-null-sink", "sink_name=gone");
        ASSERT_GE(vanishing, 0);
        server.pactl({"set-default-sink", "gone"});
        server.pactl({"unload-module", std::to_string(vanishing)});
        server.pactl({"set-default-sink", "speakers"});
        std::this_thread::sleep_for(1s);
        EXPECT_TRUE(delivers(700, host.sampleCount()));
        host.stop();
    });
    EXPECT_TRUE(containsRun(lines, {changedLine("headphones"), changedLine("speakers"),
                                    changedLine("narrow"), changedLine("wide")}))
        << "the last of the ten changes, then the move after its device went";
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.back(), "[tap] System audio capture stopped");
    EXPECT_EQ(lines[lines.size() - 2], changedLine("speakers")) << "the last default";
    const auto moves = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("[tap] Default output device changed: ", 0) == 0;
    });
    EXPECT_LE(moves, 17) << "at most one line per change";
    EXPECT_EQ(host.badSizes, 0);
    if (HasFailure()) ADD_FAILURE() << testing::PrintToString(lines);
}

TEST_P(Desktop, BothCapturesComeBackAfterTheServerRestarts) {
    AudioHost system(Capture::systemAudio), mic(Capture::mic), after(Capture::systemAudio);
    const auto lines = stderrLinesOf([&] {
        system.start();
        mic.start();
        ASSERT_EQ(system.statusCodes(), std::vector<int32_t>{0});
        ASSERT_EQ(mic.statusCodes(), std::vector<int32_t>{0});
        ASSERT_TRUE(system.hears(700));
        ASSERT_TRUE(mic.hears(440));
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(strongestFrequency(system.lastSamples(8000)), 700);
        EXPECT_LT(toneAmplitude(mic.lastSamples(8000), 700), 0.01) << "the speakers leak in";

        // The first two hear their tones again, the rest only data; descriptors and threads stay.
        size_t descriptors = 0, threads = 0;
        for (int restart = 0; restart < kRestarts; ++restart) {
            SCOPED_TRACE(restart);
            server.kill();
            std::this_thread::sleep_for(300ms);
            ASSERT_TRUE(server.start());
            if (restart < 2) {
                playTones(false);
                EXPECT_TRUE(system.hears(700, system.sampleCount()))
                    << "within 5 s, with no call from the host";
                EXPECT_TRUE(mic.hears(440, mic.sampleCount()));
            } else {
                const size_t s = system.sampleCount(), m = mic.sampleCount();
                EXPECT_TRUE(waitUntil(
                    [&] { return system.sampleCount() > s + 1600 && mic.sampleCount() > m + 1600; },
                    5000ms));
            }
            if (restart == 0)
                descriptors = entriesIn("/proc/self/fd"), threads = entriesIn("/proc/self/task");
        }
        EXPECT_EQ(entriesIn("/proc/self/fd"), descriptors);
        EXPECT_EQ(entriesIn("/proc/self/task"), threads);

        // Stopping one leaves the other running; stops are prompt, also with the server gone.
        auto began = std::chrono::steady_clock::now();
        mic.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - began, 1s);
        EXPECT_TRUE(system.waitForSamples(system.sampleCount() + 8000));
        server.kill();
        std::this_thread::sleep_for(300ms);
        began = std::chrono::steady_clock::now();
        system.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - began, 1s);
        ASSERT_TRUE(server.start());
        playTones(false);
        after.start();
        EXPECT_EQ(after.statusCodes(), std::vector<int32_t>{0});
        EXPECT_TRUE(after.hears(700));
        after.stop();
    });
    EXPECT_EQ(std::count(lines.begin(), lines.end(), changedLine("speakers")), kRestarts);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[mic] Restarted on new device"), kRestarts);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(system.callsAfterStop + mic.callsAfterStop + after.callsAfterStop, 0);
    EXPECT_EQ(system.badSizes + mic.badSizes, 0);
}

// On the library's own delivery threads; the next start finds the slot free.
TEST_P(Desktop, StopFromInsideTheDataCallbackEndsTheSession) {
    for (Capture capture : {Capture::mic, Capture::systemAudio}) {
        SCOPED_TRACE(capture == Capture::mic ? "mic" : "system audio");
        AudioHost host(capture), next(capture);
        host.stopInsideCallback = true;
        stderrLinesOf([&] {
            host.start();
            ASSERT_EQ(host.statusCodes(), std::vector<int32_t>{0});
            ASSERT_TRUE(waitUntil([&] { return host.stopFromCallbackReturned.load(); }));
            std::this_thread::sleep_for(300ms);
            EXPECT_EQ(host.chunks, 3);
            next.start();
            EXPECT_EQ(next.statusCodes(), std::vector<int32_t>{0});
            EXPECT_TRUE(next.waitForSamples(1600));
            next.stop();
        });
    }
}

// Each session taps the default output of its start and delivers it at 16 kHz without gaps; its
// mono is the mean of the channels, so a tone on one side only is heard at half level.
TEST_P(SystemAudio, HearsTheDefaultOutputOfEachStartAsTheMeanOfItsChannels) {
    struct Row {
        const char* sink;
        int rate, channels;
        const char* pan;
        double frequency, level;
    };
    const Row rows[] = {{"speakers", 48000, 2, "both", 1000, kHalfScale},
                        {"speakers", 48000, 2, "left", 700, kHalfScale / 2},
                        {"headphones", 44100, 1, "both", 500, kHalfScale}};
    ASSERT_GE(server.loadModule("module-null-sink", "sink_name=headphones rate=44100 channels=1"),
              0);
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.sink) + "-" + r.pan);
        ASSERT_EQ(server.pactl({"set-default-sink", r.sink}), 0);
        ChildProcess& player = server.playTone(
            r.sink,
            {.frequency = r.frequency, .rate = r.rate, .channels = r.channels, .pan = r.pan});
        ASSERT_TRUE(waitUntil([&] { return server.somethingPlays(); }));
        AudioHost host(Capture::systemAudio);
        const auto lines = stderrLinesOf([&] { host.start(); });
        ASSERT_EQ(host.statusCodes(), std::vector<int32_t>{0});
        // The device and format the server gives (the other lines are the unit tests').
        ASSERT_EQ(lines.size(), 5u);
        EXPECT_EQ(lines[1], "[tap] Default output device: " + std::string(r.sink));
        EXPECT_EQ(lines[3], "[tap] Tap format: " + std::to_string(r.rate) + ".0Hz, " +
                                std::to_string(r.channels) + "ch, 32bit");

        // Two seconds from shortly after the first chunk (a null sink renders ahead, so the
        // monitor's first read can take a second to come).
        ASSERT_TRUE(host.waitForSamples(1, 5000ms));
        std::this_thread::sleep_for(300ms);
        const size_t from = host.sampleCount();
        const auto began = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(2s);
        const auto heard = host.samplesSince(from);
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        EXPECT_NEAR(double(heard.size()), elapsed * 16000, elapsed * 16000 * 0.03) << "no gaps";
        EXPECT_EQ(strongestFrequency(heard), r.frequency);
        EXPECT_NEAR(toneAmplitude(heard, r.frequency), r.level, kHalfScale * 0.04);
        EXPECT_EQ(host.badSizes, 0);
        stderrLinesOf([&] { host.stop(); });
        player.stop();  // the next row plays alone
        ASSERT_TRUE(waitUntil([&] { return !server.somethingPlays(); }));
    }
}

// Losing a microphone it does not record leaves the session alone.
TEST_P(MicCapture, MicFollowsANewDefaultGoesSilentWhenItsMicrophoneGoesAndComesBackWithANewOne) {
    const int mic1 = server.addMicrophone("mic1", 44100, 1);
    const int mic2 = server.addMicrophone("mic2", 48000, 2);
    ASSERT_GE(mic2, 0);
    ASSERT_EQ(server.pactl({"set-default-source", "mic1"}), 0);
    server.playTone("mic1.sink", {.frequency = 440, .rate = 44100, .channels = 1});
    server.playTone("mic2.sink", {.frequency = 1000});
    AudioHost host(Capture::mic);
    const auto lines = stderrLinesOf([&] {
        host.start();

        // The first tone, converted to 16 kHz.
        ASSERT_TRUE(host.waitForSamples(8000));
        std::this_thread::sleep_for(2s);
        EXPECT_EQ(heardFrequency(host), 440);
        EXPECT_NEAR(dbfs(toneAmplitude(host.lastSamples(8000), 440)), -6, 1);

        // A new default microphone: the same callbacks go on, now hearing the second tone.
        ASSERT_EQ(server.pactl({"set-default-source", "mic2"}), 0);
        EXPECT_TRUE(waitUntil([&] { return heardFrequency(host) == 1000; }));
        ASSERT_EQ(server.pactl({"unload-module", std::to_string(mic1)}), 0);  // not recorded
        std::this_thread::sleep_for(1s);
        EXPECT_EQ(heardFrequency(host), 1000);
        // Stereo mixed to mono: both channels carry the tone, so its level stays.
        EXPECT_NEAR(dbfs(toneAmplitude(host.lastSamples(8000), 1000)), -6, 0.5);

        // The recorded microphone goes and only a monitor is left, which is no microphone.
        ASSERT_EQ(server.pactl({"unload-module", std::to_string(mic2)}), 0);
        EXPECT_TRUE(waitUntil(
            [&] {
                const size_t before = host.sampleCount();
                std::this_thread::sleep_for(1s);
                return host.sampleCount() == before;
            },
            10s))
            << "silent";
        const size_t silentAt = host.sampleCount();
        // A microphone that appears revives it, with no call from the host.
        ASSERT_GE(server.addMicrophone("mic3", 48000, 2), 0);
        server.playTone("mic3.sink", {.frequency = 700});
        EXPECT_TRUE(waitUntil(
            [&] { return host.sampleCount() > silentAt + 8000 && heardFrequency(host) == 700; }));

        host.stop();
    });
    // The format of each device as the server runs it (the other lines are the unit tests').
    EXPECT_TRUE(
        containsRun(lines, {kChangedLine, "[mic] AVAudioEngine input format: 48000.0Hz, 2ch, 1"}));
    EXPECT_TRUE(containsRun(lines, {kChangedLine, "[mic] AVAudioEngine input format: 0.0Hz, 0ch, 1",
                                    "[mic] Failed to restart: " + kNoInputText}));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kChangedLine), 3) << "one per device change";
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[mic] Restarted on new device"), 2);
    EXPECT_EQ(host.statusCodes(), std::vector<int32_t>{0}) << "restarts call no status callback";
    EXPECT_EQ(host.badSizes, 0);
}
