// System audio as a host sees it, through dlopen, against a private PulseAudio and PipeWire server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

#include "e2e/AudioHost.h"
#include "e2e/ToneAnalysis.h"

using namespace std::chrono_literals;
using namespace ovra::e2e;

namespace {

constexpr double kRate = 16000;
constexpr double kHalfScale = 0.5;  // the peak of a -6 dBFS sine

// Whether `line` is `prefix` followed by a decimal id.
bool hasId(const std::string& line, const std::string& prefix) {
    return line.size() > prefix.size() && line.compare(0, prefix.size(), prefix) == 0 &&
           std::all_of(line.begin() + std::ptrdiff_t(prefix.size()), line.end(),
                       [](unsigned char c) { return std::isdigit(c); });
}

class SystemAudio : public WithSoundServer {
  protected:
    // Plays `tone` into `sink` and waits until the server has it; null if it does not.
    ChildProcess* play(const ToneSpec& tone, const std::string& sink = "speakers") {
        const auto file = server.makeTone("tone" + std::to_string(tones++), tone);
        if (file.empty()) return nullptr;
        ChildProcess& p = server.play(file, sink);
        return waitUntil([&] { return server.somethingPlays(); }) ? &p : nullptr;
    }

    // What `host` heard over `seconds`, from shortly after its first chunk (a null sink renders
    // ahead, so the monitor's first read can take a second to come).
    std::vector<int16_t> listen(AudioHost& host, double seconds, double* elapsed = nullptr) {
        if (!host.waitForSamples(1, 5000ms)) return {};
        std::this_thread::sleep_for(300ms);
        const size_t from = host.sampleCount();
        const auto began = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        auto heard = host.samplesSince(from);
        if (elapsed)
            *elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        return heard;
    }

    int tones = 0;
};

}  // namespace

OVRA_ON_BOTH_SERVERS(SystemAudio);

TEST_P(SystemAudio, StartsWithFiveLinesAndDeliversThePlayedToneAt16kHzWithoutGaps) {
    ASSERT_TRUE(play({.frequency = 1000, .gainDb = -6}));
    AudioHost host(Capture::systemAudio);
    const auto lines = stderrLinesOf([&] { host.start(); });
    EXPECT_EQ(host.statusCodes(), std::vector<int32_t>{0});
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_TRUE(hasId(lines[0], "[tap] Created process tap, ID: ")) << lines[0];
    EXPECT_EQ(lines[1], "[tap] Default output device: speakers");
    EXPECT_TRUE(hasId(lines[2], "[tap] Created aggregate device, ID: ")) << lines[2];
    EXPECT_EQ(lines[3], "[tap] Tap format: 48000.0Hz, 2ch, 32bit");
    EXPECT_EQ(lines[4], "[tap] System audio capture started (Core Audio Tap)");

    double elapsed = 0;
    const auto heard = listen(host, 2.0, &elapsed);
    EXPECT_NEAR(double(heard.size()), elapsed * kRate, elapsed * kRate * 0.03) << "no gaps";
    EXPECT_EQ(strongestFrequency(heard), 1000);
    EXPECT_NEAR(toneAmplitude(heard, 1000), kHalfScale, kHalfScale * 0.06);
    EXPECT_EQ(host.badSizes, 0);
    EXPECT_EQ(host.wrongUser, 0);

    AudioHost second(Capture::systemAudio);
    const auto again = stderrLinesOf([&] { second.start(); });
    EXPECT_EQ(second.statusCodes(), std::vector<int32_t>{-1});
    EXPECT_EQ(again, std::vector<std::string>{"[tap] System audio capture already running"});

    const auto stopped = stderrLinesOf([&] { host.stop(); });
    EXPECT_EQ(stopped, std::vector<std::string>{"[tap] System audio capture stopped"});
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(host.callsAfterStop, 0);
    EXPECT_EQ(second.chunks, 0) << "the refused start's callback is never called";
}

// Each session taps the default output of its start; its mono is the mean of the channels, so a
// channel panned to one side is heard at half level.
TEST_P(SystemAudio, HearsTheDefaultOutputOfEachStartAsTheMeanOfItsChannels) {
    struct Row {
        const char* sink;
        int rate, channels;
        const char* pan;
        double frequency, level;
    };
    const Row rows[] = {{"speakers", 48000, 2, "left", 700, kHalfScale / 2},
                        {"speakers", 48000, 2, "right", 700, kHalfScale / 2},
                        {"headphones", 44100, 1, "both", 500, kHalfScale}};
    ASSERT_GE(server.loadModule("module-null-sink", "sink_name=headphones rate=44100 channels=1"),
              0);
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.sink) + " " + r.pan);
        ASSERT_EQ(server.pactl({"set-default-sink", r.sink}), 0);
        ChildProcess* player =
            play({.frequency = r.frequency, .rate = r.rate, .channels = r.channels, .pan = r.pan},
                 r.sink);
        ASSERT_TRUE(player);
        AudioHost host(Capture::systemAudio);
        const auto lines = stderrLinesOf([&] { host.start(); });
        ASSERT_EQ(host.statusCodes(), std::vector<int32_t>{0});
        ASSERT_EQ(lines.size(), 5u);
        EXPECT_EQ(lines[1], "[tap] Default output device: " + std::string(r.sink));
        EXPECT_EQ(lines[3], "[tap] Tap format: " + std::to_string(r.rate) + ".0Hz, " +
                                std::to_string(r.channels) + "ch, 32bit");
        const auto heard = listen(host, 1.0);
        host.stop();
        EXPECT_EQ(strongestFrequency(heard), r.frequency);
        EXPECT_NEAR(toneAmplitude(heard, r.frequency), r.level, kHalfScale * 0.04);
        player->stop();  // the next row plays alone
        ASSERT_TRUE(waitUntil([&] { return !server.somethingPlays(); }));
    }
}

TEST_P(SystemAudio, AServerThatDiesDuringCaptureCostsNoCrashAndAFreshStartWorks) {
    ASSERT_TRUE(play({.frequency = 1000}));
    AudioHost host(Capture::systemAudio);
    stderrLinesOf([&] { host.start(); });
    ASSERT_EQ(host.statusCodes(), std::vector<int32_t>{0});
    ASSERT_TRUE(host.waitForSamples(1600, 5000ms));

    server.kill();
    std::this_thread::sleep_for(300ms);
    const auto began = std::chrono::steady_clock::now();
    const auto stopped = stderrLinesOf([&] { host.stop(); });
    EXPECT_LT(std::chrono::steady_clock::now() - began, 1s) << "stop returns promptly";
    EXPECT_EQ(stopped, std::vector<std::string>{"[tap] System audio capture stopped"});

    ASSERT_TRUE(server.start());
    ASSERT_TRUE(play({.frequency = 1500}));
    AudioHost after(Capture::systemAudio);
    stderrLinesOf([&] { after.start(); });
    ASSERT_EQ(after.statusCodes(), std::vector<int32_t>{0});
    EXPECT_EQ(strongestFrequency(listen(after, 1.0)), 1500);
    after.stop();
}

TEST(SystemAudioWithoutServer, StartFailsWithMinus3AndTheFailureLine) {
    setenv("PULSE_SERVER", "unix:/nonexistent/ovra/native", 1);
    AudioHost host(Capture::systemAudio);
    const auto began = std::chrono::steady_clock::now();
    const auto lines = stderrLinesOf([&] { host.start(); });
    EXPECT_LT(std::chrono::steady_clock::now() - began, 2s);
    EXPECT_EQ(host.statusCodes(), std::vector<int32_t>{-3});
    // No server is Core Audio's "not running" status, 'stop', from the first call that needs one.
    const int32_t notRunning = ('s' << 24) | ('t' << 16) | ('o' << 8) | 'p';
    EXPECT_EQ(lines, std::vector<std::string>{"[tap] Failed to start capture: Failed to create "
                                              "process tap (OSStatus " +
                                              std::to_string(notRunning) + ")"});
    const auto stopped = stderrLinesOf([] { Library::get().stopSystemAudio(); });
    EXPECT_TRUE(stopped.empty()) << "nothing was registered, so stop writes nothing";
}
