// The events of a working day on a desktop, on PulseAudio and on PipeWire, through dlopen: the
// default output changes or goes, the sound server restarts, a stereo microphone is recorded.
// No call from the host in between.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "e2e/AudioHost.h"
#include "e2e/ToneAnalysis.h"

using namespace std::chrono_literals;
using namespace ovra::e2e;

namespace {

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

// Stops both kinds when a test ends early (an assertion that failed inside a capture), before
// the hosts they deliver to go.
struct StopAllAtEnd {
    ~StopAllAtEnd() {
        Library::get().stopSystemAudio();
        Library::get().stopMic();
    }
};

// Entries in a /proc folder.
size_t countOf(const char* folder) {
    return size_t(std::distance(std::filesystem::directory_iterator(folder),
                                std::filesystem::directory_iterator()));
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
        ASSERT_GE(server.loadModule("module-null-sink", "sink_name=headphones rate=44100"), 0);
        ASSERT_TRUE(server.pactl({"set-default-sink", "speakers"}) == 0);
        playTones();
    }
    // (Again, after a restart ended the players and the devices loaded since the start.)
    void playTones(bool headphones = true) {
        server.play(server.makeTone("speakers", {.frequency = 700, .seconds = 120}), "speakers");
        if (headphones)
            server.play(
                server.makeTone("headphones", {.frequency = 1100, .seconds = 120, .rate = 44100}),
                "headphones");
        server.play(server.makeTone("mic", {.frequency = 440, .seconds = 120}), "mic1.sink");
    }
    // Waits until `host` hears `hz` at -20 dBFS or more in its last quarter second, of what came
    // after `from`. (Another tone may be there too: PipeWire's session manager moves players to
    // a new default sink when theirs goes.)
    static bool hears(AudioHost& host, double hz, size_t from = 0,
                      std::chrono::milliseconds within = 5000ms) {
        return waitUntil(
            [&] {
                const auto heard = host.samplesSince(from);
                return heard.size() >= 4000 &&
                       toneAmplitude({heard.end() - 4000, heard.end()}, hz) > 0.1;
            },
            within);
    }
};

}  // namespace

OVRA_ON_BOTH_SERVERS(Desktop);

// PipeWire's declared microphone outlives its pulse server, so a server that comes back without
// one is PulseAudio's case.
class DesktopOnPulseAudio : public Desktop {};
INSTANTIATE_TEST_SUITE_P(, DesktopOnPulseAudio, testing::Values(ServerKind::pulseaudio),
                         [](const auto& info) { return serverName(info.param); });

TEST_P(Desktop, SystemAudioFollowsTheDefaultOutputAndMovesWhenItsDeviceGoes) {
    AudioHost host(Capture::systemAudio);
    const StopAllAtEnd stopAllAtEnd;
    std::vector<std::string> lines = stderrLinesOf([&] {
        host.start();
        ASSERT_EQ(host.statusCodes(), std::vector<int32_t>{0});
        ASSERT_TRUE(hears(host, 700));

        // A new default: the same stream goes on, now with the other device's tone, and the
        // silence around the switch stays short.
        const size_t before = host.sampleCount();
        ASSERT_EQ(server.pactl({"set-default-sink", "headphones"}), 0);
        ASSERT_TRUE(hears(host, 1100, before));
        std::this_thread::sleep_for(500ms);
        EXPECT_LT(longestSilence(host.samplesSince(before)), 0.5);

        // Ten changes within a second end on the last one.
        for (int i = 0; i < 10; ++i) {
            server.pactl({"set-default-sink", i % 2 ? "headphones" : "speakers"});
            std::this_thread::sleep_for(50ms);
        }
        std::this_thread::sleep_for(1s);
        EXPECT_TRUE(hears(host, 1100, host.sampleCount()));

        // The captured device goes: the capture moves to whatever is the default then.
        const size_t gone = host.sampleCount();
        std::string modules;
        server.pactl({"list", "short", "modules"}, &modules);
        const auto at = modules.rfind("\n", modules.find("sink_name=headphones"));
        ASSERT_EQ(server.pactl({"unload-module",
                                std::to_string(std::atoi(modules.c_str() +
                                                         (at == std::string::npos ? 0 : at + 1)))}),
                  0);
        ASSERT_TRUE(hears(host, 700, gone));
        EXPECT_LT(longestSilence(host.samplesSince(gone)), 1.0);
        host.stop();
    });
    EXPECT_EQ(lines[1], "[tap] Default output device: speakers");
    EXPECT_TRUE(std::find(lines.begin(), lines.end(), changedLine("headphones")) != lines.end());
    EXPECT_EQ(lines.back(), "[tap] System audio capture stopped");
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], changedLine("speakers")) << "after its device went";
    const auto moves = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("[tap] Default output device changed: ", 0) == 0;
    });
    EXPECT_LE(moves, 13) << "at most one line per change";
    EXPECT_EQ(host.wrongUser, 0);
    EXPECT_EQ(host.badSizes, 0);
}

TEST_P(Desktop, BothCapturesComeBackAfterTheServerRestarts) {
    AudioHost system(Capture::systemAudio), mic(Capture::mic);
    const StopAllAtEnd stopAllAtEnd;
    const auto lines = stderrLinesOf([&] {
        system.start();
        mic.start();
        ASSERT_EQ(system.statusCodes(), std::vector<int32_t>{0});
        ASSERT_EQ(mic.statusCodes(), std::vector<int32_t>{0});
        ASSERT_TRUE(hears(system, 700));
        ASSERT_TRUE(hears(mic, 440));

        // The first two hear their tones again; the rest only wait for data, then the process
        // holds the descriptors and threads it held after the first.
        size_t descriptors = 0, threads = 0;
        for (int restart = 0; restart < kRestarts; ++restart) {
            SCOPED_TRACE(restart);
            server.kill();
            std::this_thread::sleep_for(300ms);
            ASSERT_TRUE(server.start());
            if (restart < 2) {
                playTones(false);
                EXPECT_TRUE(hears(system, 700, system.sampleCount()))
                    << "within 5 s, with no call from the host";
                EXPECT_TRUE(hears(mic, 440, mic.sampleCount()));
            } else {
                const size_t s = system.sampleCount(), m = mic.sampleCount();
                EXPECT_TRUE(waitUntil(
                    [&] { return system.sampleCount() > s + 1600 && mic.sampleCount() > m + 1600; },
                    5000ms));
            }
            if (restart == 0)
                descriptors = countOf("/proc/self/fd"), threads = countOf("/proc/self/task");
        }
        EXPECT_EQ(countOf("/proc/self/fd"), descriptors);
        EXPECT_EQ(countOf("/proc/self/task"), threads);

        const auto began = std::chrono::steady_clock::now();
        system.stop();
        mic.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - began, 1s) << "stops stay prompt";
    });
    EXPECT_EQ(std::count(lines.begin(), lines.end(), changedLine("speakers")), kRestarts);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[mic] Restarted on new device"), kRestarts);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(system.callsAfterStop + mic.callsAfterStop, 0);
}

// A server that comes back without any input: the microphone stays registered and silent, and
// restarts once an input appears.
TEST_P(DesktopOnPulseAudio, MicrophoneWaitsThroughAServerWithoutInput) {
    AudioHost mic(Capture::mic), second(Capture::mic);
    const StopAllAtEnd stopAllAtEnd;
    const auto lines = stderrLinesOf([&] {
        mic.start();
        ASSERT_EQ(mic.statusCodes(), std::vector<int32_t>{0});
        ASSERT_TRUE(hears(mic, 440));

        server.declareMicrophones({});
        server.kill();
        ASSERT_TRUE(server.start());
        EXPECT_TRUE(mic.waitForSilence(1s, 5s));
        second.start();
        EXPECT_EQ(second.statusCodes(), std::vector<int32_t>{-1}) << "still registered";

        const size_t silentAt = mic.sampleCount();
        ASSERT_GE(server.addMicrophone("mic2", 48000, 2), 0);
        server.play(server.makeTone("mic2", {.frequency = 600}), "mic2.sink");
        EXPECT_TRUE(hears(mic, 600, silentAt)) << "restarted once an input appeared";
        mic.stop();
    });
    EXPECT_TRUE(std::find(lines.begin(), lines.end(),
                          "[mic] Failed to restart: No input device available (AVAudioEngine "
                          "returned 0Hz/0ch)") != lines.end());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "[mic] Restarted on new device");
}

TEST_P(Desktop, AStereoMicrophoneKeepsItsLevel) {
    // Both channels carry the same -9 dBFS tone: mixed to mono it stays at -9 dBFS.
    ASSERT_GE(server.addMicrophone("stereo", 48000, 2), 0);
    ASSERT_EQ(server.pactl({"set-default-source", "stereo"}), 0);
    server.play(server.makeTone("level", {.frequency = 500, .gainDb = -9}), "stereo.sink");
    AudioHost mic(Capture::mic);
    const StopAllAtEnd stopAllAtEnd;
    stderrLinesOf([&] { mic.start(); });
    ASSERT_EQ(mic.statusCodes(), std::vector<int32_t>{0});
    ASSERT_TRUE(hears(mic, 500));
    std::this_thread::sleep_for(500ms);
    EXPECT_NEAR(dbfs(toneAmplitude(mic.lastSamples(8000), 500)), -9, 0.5);
    stderrLinesOf([&] { mic.stop(); });
}

// Odd outputs: a default at 8 kHz mono or 192 kHz with 8 channels is followed in the format of
// the start (the server converts), and a default that vanishes at once leaves the capture on
// whatever is the default then. (PipeWire's session manager may move players to a new default
// sink, so only PulseAudio's players are known to stay where they were put.)
TEST_P(Desktop, OddAndVanishingDefaultsAreFollowed) {
    struct Row {
        const char* sink;
        int rate, channels;
        double frequency;
    };
    const Row rows[] = {{"narrow", 8000, 1, 300}, {"wide", 192000, 8, 900}};
    AudioHost host(Capture::systemAudio);
    const StopAllAtEnd stopAllAtEnd;
    // Data keeps coming after a move, with the row's tone where the players stay put.
    auto delivers = [&](double frequency, size_t from) {
        if (!onPipeWire()) return hears(host, frequency, from, 10000ms);
        return host.waitForSamples(from + 8000, 10000ms);
    };
    const auto lines = stderrLinesOf([&] {
        host.start();
        ASSERT_EQ(host.statusCodes(), std::vector<int32_t>{0});
        ASSERT_TRUE(hears(host, 700));
        for (const Row& r : rows) {
            SCOPED_TRACE(r.sink);
            ASSERT_GE(server.loadModule("module-null-sink",
                                        std::string("sink_name=") + r.sink +
                                            " rate=" + std::to_string(r.rate) +
                                            " channels=" + std::to_string(r.channels)),
                      0);
            server.play(
                server.makeTone(r.sink, {.frequency = r.frequency, .rate = r.rate, .channels = 1}),
                r.sink);
            const size_t from = host.sampleCount();
            ASSERT_EQ(server.pactl({"set-default-sink", r.sink}), 0);
            EXPECT_TRUE(delivers(r.frequency, from));
        }
        const int gone = server.loadModule("module-null-sink", "sink_name=gone");
        ASSERT_GE(gone, 0);
        server.pactl({"set-default-sink", "gone"});
        server.pactl({"unload-module", std::to_string(gone)});
        server.pactl({"set-default-sink", "speakers"});
        EXPECT_TRUE(waitUntil([&] { return host.sampleCount() > 0; }));
        std::this_thread::sleep_for(1s);
        EXPECT_TRUE(delivers(700, host.sampleCount()));
        host.stop();
    });
    EXPECT_TRUE(containsRun(lines, {changedLine("narrow"), changedLine("wide")}));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], changedLine("speakers")) << "the last default";
    EXPECT_EQ(host.badSizes, 0);
    if (HasFailure()) ADD_FAILURE() << testing::PrintToString(lines);
}
