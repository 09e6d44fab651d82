// The libpulse audio engine on its own, against a private server with paced fake microphones:
// what bus 0 reports, what the tap delivers and on which thread, and which server changes are
// announced (once) as configuration changes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e/MicSignal.h"
#include "e2e/PulseServer.h"
#include "platform/NotificationCenter.h"
#include "platform/pulse/PulseChangeNotifier.h"
#include "platform/pulse/PulseConnection.h"
#include "platform/pulse/PulseEngine.h"

using namespace std::chrono_literals;
using namespace ovra;
using ovra::e2e::PulseServer;
using ovra::e2e::ToneSpec;
using ovra::e2e::waitUntil;
using ovra::pulse::PulseConnection;

namespace {

// Everything the engine reaches, made fresh for each test.
struct Rig {
    Rig() { server.useInThisProcess(); }

    PulseServer server;
    PulseConnection connection;
    NotificationCenter center;
    std::shared_ptr<pulse::PulseChangeNotifier> notifier =
        std::make_shared<pulse::PulseChangeNotifier>(center);

    std::shared_ptr<AudioEngine> engine() { return pulse::makePulseEngine(connection, notifier); }
};

// Two microphones with different rates and channel counts, each hearing its own tone; mic1 is
// the configured default.
void addTwoMicrophones(PulseServer& server, int* mic1Module = nullptr) {
    const int m1 = server.addMicrophone("mic1", 44100, 1);
    ASSERT_GE(m1, 0);
    ASSERT_GE(server.addMicrophone("mic2", 48000, 2), 0);
    ASSERT_EQ(server.pactl({"set-default-source", "mic1"}), 0);
    server.play(server.makeTone("t440", {.frequency = 440, .rate = 44100, .channels = 1}),
                "mic1.sink");
    server.play(server.makeTone("t1000", {.frequency = 1000}), "mic2.sink");
    if (mic1Module) *mic1Module = m1;
}

struct TapLog {
    std::mutex mutex;
    std::vector<float> samples;
    std::vector<uint32_t> frameCounts;
    std::vector<std::thread::id> threads;
    std::atomic<int> calls{0};

    AudioInputNode::TapBlock block() {
        return [this](const PCMBuffer& buffer, const AudioTimeStamp*) {
            std::lock_guard lock(mutex);
            const float* s = buffer.floatChannelData()[0];
            samples.insert(samples.end(), s, s + buffer.frameLength());
            frameCounts.push_back(buffer.frameLength());
            threads.push_back(std::this_thread::get_id());
            ++calls;
        };
    }
    size_t size() {
        std::lock_guard lock(mutex);
        return samples.size();
    }
};

// Counts the configuration changes posted for `engine`, and where they came from.
struct ChangeLog {
    std::atomic<int> posts{0};
    std::atomic<bool> onLoopThread{false};
    NotificationCenter::Token token;

    ChangeLog(Rig& rig, const std::shared_ptr<AudioEngine>& engine) {
        token = rig.center.addObserver(kAudioEngineConfigurationChangeNotification, engine.get(),
                                       [this, &rig] {
                                           if (rig.connection.inLoopThread()) onLoopThread = true;
                                           ++posts;
                                       });
    }
};

std::shared_ptr<const AudioFormat> monoFloat(double rate) {
    return AudioFormat::fromCommonFormat(AudioCommonFormat::pcmFormatFloat32, rate, 1, false);
}

}  // namespace

TEST(PulseMicEngine, Bus0ReportsTheDefaultSourceAsFloatNotInterleaved) {
    Rig rig;
    ASSERT_TRUE(rig.server.ok());
    addTwoMicrophones(rig.server);

    auto info = rig.engine()->inputNode().outputFormatForBus(0);
    EXPECT_EQ(info.sampleRate, 44100.0);
    EXPECT_EQ(info.channelCount, 1u);
    EXPECT_EQ(info.commonFormat, AudioCommonFormat::pcmFormatFloat32);
    EXPECT_FALSE(info.interleaved);
    EXPECT_EQ(rig.engine()->inputNode().outputFormatForBus(1).channelCount, 0u) << "one bus only";

    ASSERT_EQ(rig.server.pactl({"set-default-source", "mic2"}), 0);
    info = rig.engine()->inputNode().outputFormatForBus(0);
    EXPECT_EQ(info.sampleRate, 48000.0);
    EXPECT_EQ(info.channelCount, 2u);
}

TEST(PulseMicEngine, AMonitorOrNoServerIsNoInputDevice) {
    {
        Rig rig;
        ASSERT_TRUE(rig.server.ok());
        std::string out;
        rig.server.pactl({"get-default-source"}, &out);
        ASSERT_EQ(out, "speakers.monitor\n") << "the only source is the sink's monitor";
        const auto info = rig.engine()->inputNode().outputFormatForBus(0);
        EXPECT_EQ(info.sampleRate, 0.0);
        EXPECT_EQ(info.channelCount, 0u);
        std::string error;
        EXPECT_FALSE(rig.engine()->startAndReturnError(&error));
        EXPECT_FALSE(error.empty());
    }
    setenv("PULSE_SERVER", "unix:/nonexistent/ovra/native", 1);
    PulseConnection connection(500ms);
    NotificationCenter center;
    auto notifier = std::make_shared<pulse::PulseChangeNotifier>(center);
    const auto info =
        pulse::makePulseEngine(connection, notifier)->inputNode().outputFormatForBus(0);
    EXPECT_EQ(info.sampleRate, 0.0);
    EXPECT_EQ(info.channelCount, 0u);
}

TEST(PulseMicEngine, TapDeliversTheToneInSmallBuffersOffTheMainLoop) {
    Rig rig;
    ASSERT_TRUE(rig.server.ok());
    addTwoMicrophones(rig.server);
    auto engine = rig.engine();
    const auto info = engine->inputNode().outputFormatForBus(0);
    TapLog tap;
    engine->inputNode().installTapOnBus(0, 4096, monoFloat(info.sampleRate), tap.block());
    EXPECT_EQ(tap.calls, 0) << "nothing before start";
    std::string error;
    ASSERT_TRUE(engine->startAndReturnError(&error)) << error;

    ASSERT_TRUE(waitUntil([&] { return tap.size() >= 44100; }));
    engine->inputNode().removeTapOnBus(0);
    engine->stop();
    const int callsAtStop = tap.calls;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(tap.calls, callsAtStop) << "no tap call after removal";

    std::lock_guard lock(tap.mutex);
    for (size_t i = 1; i < tap.frameCounts.size(); ++i) EXPECT_LE(tap.frameCounts[i], 4096u);
    // Fragments of about 20 ms (882 frames), not lumps of seconds nor the 4096 asked for.
    std::vector<uint32_t> sorted(tap.frameCounts.begin(), tap.frameCounts.end());
    std::sort(sorted.begin(), sorted.end());
    EXPECT_LE(sorted[sorted.size() / 2], 1400u);
    EXPECT_NE(tap.threads.front(), std::this_thread::get_id());
    for (auto id : tap.threads) EXPECT_EQ(id, tap.threads.front()) << "one delivery thread";

    const std::vector<float> tail(tap.samples.end() - 22050, tap.samples.end());
    EXPECT_EQ(e2e::strongestFrequency(tail, 44100, 200, 2000), 440);
    EXPECT_NEAR(e2e::dbfs(e2e::toneAmplitude(tail, 44100, 440)), -6, 1);
}

TEST(PulseMicEngine, StereoSourceIsMixedToMonoByTheServer) {
    Rig rig;
    ASSERT_TRUE(rig.server.ok());
    addTwoMicrophones(rig.server);
    ASSERT_EQ(rig.server.pactl({"set-default-source", "mic2"}), 0);
    auto engine = rig.engine();
    ASSERT_EQ(engine->inputNode().outputFormatForBus(0).channelCount, 2u);
    TapLog tap;
    engine->inputNode().installTapOnBus(0, 4096, monoFloat(48000), tap.block());
    std::string error;
    ASSERT_TRUE(engine->startAndReturnError(&error)) << error;
    ASSERT_TRUE(waitUntil([&] { return tap.size() >= 48000; }));
    engine->stop();
    std::lock_guard lock(tap.mutex);
    const std::vector<float> tail(tap.samples.end() - 24000, tap.samples.end());
    EXPECT_EQ(e2e::strongestFrequency(tail, 48000, 200, 2000), 1000);
    EXPECT_NEAR(e2e::dbfs(e2e::toneAmplitude(tail, 48000, 1000)), -6, 1);
}

TEST(PulseMicEngine, StartFailsWithTheServersTextWhenTheSourceVanished) {
    Rig rig;
    ASSERT_TRUE(rig.server.ok());
    int mic1 = -1;
    addTwoMicrophones(rig.server, &mic1);
    auto engine = rig.engine();
    ASSERT_EQ(engine->inputNode().outputFormatForBus(0).sampleRate, 44100.0);
    TapLog tap;
    engine->inputNode().installTapOnBus(0, 4096, monoFloat(44100), tap.block());
    ASSERT_EQ(rig.server.pactl({"unload-module", std::to_string(mic1)}), 0);

    std::string error;
    EXPECT_FALSE(engine->startAndReturnError(&error));
    EXPECT_EQ(error, pa_strerror(PA_ERR_NOENTITY));
    engine->inputNode().removeTapOnBus(0);
    EXPECT_EQ(tap.calls, 0);
}

TEST(PulseMicEngine, ANewDefaultSourceIsAnnouncedOnceFromANotifierThread) {
    Rig rig;
    ASSERT_TRUE(rig.server.ok());
    addTwoMicrophones(rig.server);
    auto engine = rig.engine();
    ChangeLog changes(rig, engine);
    const auto info = engine->inputNode().outputFormatForBus(0);
    TapLog tap;
    engine->inputNode().installTapOnBus(0, 4096, monoFloat(info.sampleRate), tap.block());
    std::string error;
    ASSERT_TRUE(engine->startAndReturnError(&error)) << error;
    ASSERT_TRUE(waitUntil([&] { return tap.calls > 2; }));

    ASSERT_EQ(rig.server.pactl({"set-default-source", "mic2"}), 0);
    ASSERT_TRUE(waitUntil([&] { return changes.posts > 0; }));
    ASSERT_EQ(rig.server.pactl({"set-default-source", "mic1"}), 0);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(changes.posts, 1) << "one engine answers one change: its observer replaces it";
    EXPECT_FALSE(changes.onLoopThread);
    engine->stop();
}

TEST(PulseMicEngine, LosingTheRecordedSourceIsAnnouncedOnce) {
    Rig rig;
    ASSERT_TRUE(rig.server.ok());
    int mic1 = -1;
    addTwoMicrophones(rig.server, &mic1);
    auto engine = rig.engine();
    ChangeLog changes(rig, engine);
    engine->inputNode().outputFormatForBus(0);
    TapLog tap;
    engine->inputNode().installTapOnBus(0, 4096, monoFloat(44100), tap.block());
    std::string error;
    ASSERT_TRUE(engine->startAndReturnError(&error)) << error;
    ASSERT_TRUE(waitUntil([&] { return tap.calls > 2; }));

    // The source goes, its stream fails and the server picks a new default: one change.
    ASSERT_EQ(rig.server.pactl({"unload-module", std::to_string(mic1)}), 0);
    ASSERT_TRUE(waitUntil([&] { return changes.posts > 0; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(changes.posts, 1);
    engine->stop();
}

TEST(PulseMicEngine, ChangesThatDoNotConcernItsSourcePostNothing) {
    Rig rig;
    ASSERT_TRUE(rig.server.ok());
    addTwoMicrophones(rig.server);
    auto engine = rig.engine();
    ChangeLog changes(rig, engine);
    engine->inputNode().outputFormatForBus(0);
    TapLog tap;
    engine->inputNode().installTapOnBus(0, 4096, monoFloat(44100), tap.block());
    std::string error;
    ASSERT_TRUE(engine->startAndReturnError(&error)) << error;
    ASSERT_TRUE(waitUntil([&] { return tap.calls > 2; }));

    const int mic3 = rig.server.addMicrophone("mic3", 16000, 1);
    ASSERT_GE(mic3, 0);
    ASSERT_EQ(rig.server.pactl({"set-default-sink", "mic2.sink"}), 0);
    ASSERT_EQ(rig.server.pactl({"set-source-volume", "mic1", "50%"}), 0);
    ASSERT_EQ(rig.server.pactl({"unload-module", std::to_string(mic3)}), 0);
    ASSERT_EQ(rig.server.pactl({"set-default-source", "mic1"}), 0);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(changes.posts, 0);
    const int before = tap.calls;
    EXPECT_TRUE(waitUntil([&] { return tap.calls > before + 2; })) << "still recording";
    engine->stop();
}

TEST(PulseMicEngine, StoppedEngineAnnouncesNothing) {
    Rig rig;
    ASSERT_TRUE(rig.server.ok());
    addTwoMicrophones(rig.server);
    auto engine = rig.engine();
    ChangeLog changes(rig, engine);
    engine->inputNode().outputFormatForBus(0);
    TapLog tap;
    engine->inputNode().installTapOnBus(0, 4096, monoFloat(44100), tap.block());
    std::string error;
    ASSERT_TRUE(engine->startAndReturnError(&error)) << error;
    engine->inputNode().removeTapOnBus(0);
    engine->stop();
    ASSERT_EQ(rig.server.pactl({"set-default-source", "mic2"}), 0);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(changes.posts, 0);
}

TEST(PulseMicEngine, StopFromInsideTheTapReturnsAndEndsDelivery) {
    Rig rig;
    ASSERT_TRUE(rig.server.ok());
    addTwoMicrophones(rig.server);
    auto engine = rig.engine();
    engine->inputNode().outputFormatForBus(0);
    std::atomic<int> calls{0};
    std::atomic<bool> stopped{false};
    std::weak_ptr<AudioEngine> weak = engine;
    engine->inputNode().installTapOnBus(0, 4096, monoFloat(44100),
                                        [&](const PCMBuffer&, const AudioTimeStamp*) {
                                            ++calls;
                                            if (calls == 3) {
                                                if (auto e = weak.lock()) {
                                                    e->inputNode().removeTapOnBus(0);
                                                    e->stop();
                                                }
                                                stopped = true;
                                            }
                                        });
    std::string error;
    ASSERT_TRUE(engine->startAndReturnError(&error)) << error;
    ASSERT_TRUE(waitUntil([&] { return stopped.load(); }));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(calls, 3);
    engine.reset();  // the last reference may go while the delivery thread winds down
}
