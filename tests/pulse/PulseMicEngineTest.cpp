// The libpulse audio engine where the end-to-end tests do not reach, against a private server
// with paced fake microphones: the server's text for a failed start, which server changes are
// announced, once, as configuration changes, and how the tap is fed and from which thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e/PulseServer.h"
#include "platform/NotificationCenter.h"
#include "platform/pulse/PulseChangeNotifier.h"
#include "platform/pulse/PulseConnection.h"
#include "platform/pulse/PulseEngine.h"

using namespace std::chrono_literals;
using namespace ovra;
using ovra::e2e::waitUntil;

namespace {

// A server with mic1 (44.1 kHz mono, the default) and mic2 (48 kHz stereo), and an engine on it
// with a tap for bus 0's format that records frame counts and threads.
struct Rig {
    Rig() {
        server.useInThisProcess();
        mic1 = server.addMicrophone("mic1", 44100, 1);
        mic2 = server.addMicrophone("mic2", 48000, 2);
        server.pactl({"set-default-source", "mic1"});
        const auto info = engine->inputNode().outputFormatForBus(0);
        EXPECT_FALSE(info.interleaved);
        const auto mono = AudioFormat::fromCommonFormat(AudioCommonFormat::pcmFormatFloat32,
                                                        info.sampleRate, 1, false);
        engine->inputNode().installTapOnBus(0, 4096, mono, [this](const PCMBuffer& b, auto) {
            std::lock_guard lock(mutex);
            frameCounts.push_back(b.frameLength());
            threads.insert(std::this_thread::get_id());
            onLoopThread = onLoopThread || connection.inLoopThread();
            ++calls;
        });
    }
    // Starts; the engine's error text if it fails.
    std::string start() {
        std::string error;
        return engine->startAndReturnError(&error) ? "" : error;
    }
    void stop() {
        engine->inputNode().removeTapOnBus(0);
        engine->stop();
    }

    e2e::PulseServer server;
    int mic1 = -1, mic2 = -1;
    pulse::PulseConnection connection;
    NotificationCenter center;
    std::shared_ptr<pulse::PulseChangeNotifier> notifier =
        std::make_shared<pulse::PulseChangeNotifier>(center);
    std::shared_ptr<AudioEngine> engine = pulse::makePulseEngine(connection, notifier);
    std::mutex mutex;
    std::vector<uint32_t> frameCounts;
    std::set<std::thread::id> threads;
    std::atomic<bool> onLoopThread{false};
    std::atomic<int> calls{0};
    // Configuration changes posted for the engine, and whether one came from the main loop.
    std::atomic<int> posts{0};
    std::atomic<bool> postedOnLoop{false};
    NotificationCenter::Token token =
        center.addObserver(kAudioEngineConfigurationChangeNotification, engine.get(), [this] {
            postedOnLoop = postedOnLoop || connection.inLoopThread();
            ++posts;
        });
};

}  // namespace

TEST(PulseMicEngine, StartFailsWithTheServersTextWhenTheSourceVanished) {
    Rig rig;
    ASSERT_TRUE(rig.server.ok());
    // The tap was installed on mic1, the default.
    ASSERT_EQ(rig.server.pactl({"unload-module", std::to_string(rig.mic1)}), 0);
    EXPECT_EQ(rig.start(), pa_strerror(PA_ERR_NOENTITY));
    rig.stop();
    EXPECT_EQ(rig.calls, 0);
}

// One post per change of its source (the end-to-end tests see a capture restart on it), from a
// notifier thread; none for anything else. Steps are pactl commands, "unload micN" and "await" (a
// post). Whatever happens, the tap gets small buffers on one thread of its own until removed.
TEST(PulseMicEngine, ChangesOfItsSourceAreAnnouncedOnceAndTheTapFedInSmallBuffers) {
    struct Row {
        const char* what;
        int posts;
        bool stopFirst;
        std::vector<std::string> steps;
    };
    const Row rows[] = {
        // The observer replaces the engine on the first change: a second one is not its own.
        {"a new default, then back",
         1,
         false,
         {"set-default-source mic2", "await", "set-default-source mic1"}},
        {"changes elsewhere",
         0,
         false,
         {"load-module module-null-sink sink_name=other", "set-default-sink other",
          "set-source-volume mic1 50%", "unload mic2", "set-default-source mic1"}},
        {"a stopped engine", 0, true, {"set-default-source mic2"}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Rig rig;
        ASSERT_TRUE(rig.server.ok());
        ASSERT_EQ(rig.start(), "");
        ASSERT_TRUE(waitUntil([&] { return rig.calls >= 50; }));
        if (r.stopFirst) rig.stop();
        const int callsAtStop = rig.calls;
        for (const std::string& step : r.steps) {
            if (step == "await") {
                ASSERT_TRUE(waitUntil([&] { return rig.posts > 0; }));
            } else if (step.starts_with("unload ")) {
                const int module = step.ends_with("1") ? rig.mic1 : rig.mic2;
                ASSERT_EQ(rig.server.pactl({"unload-module", std::to_string(module)}), 0);
            } else {
                ASSERT_EQ(rig.server.pactl(e2e::PulseServer::words(step)), 0) << step;
            }
        }
        EXPECT_TRUE(r.posts == 0 || waitUntil([&] { return rig.posts > 0; }));
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(rig.posts, r.posts);
        EXPECT_FALSE(rig.postedOnLoop);
        if (r.stopFirst) {
            EXPECT_EQ(rig.calls, callsAtStop) << "no tap call after removal";
        } else if (r.posts == 0) {
            const int before = rig.calls;
            EXPECT_TRUE(waitUntil([&] { return rig.calls > before + 2; })) << "still recording";
        }
        rig.stop();
        std::lock_guard lock(rig.mutex);
        // At most the 4096 frames asked for, mostly fragments of about 20 ms (882 frames).
        std::sort(rig.frameCounts.begin(), rig.frameCounts.end());
        EXPECT_LE(rig.frameCounts.back(), 4096u);
        EXPECT_LE(rig.frameCounts[rig.frameCounts.size() / 2], 1400u);
        EXPECT_FALSE(rig.onLoopThread);
        EXPECT_EQ(rig.threads.size(), 1u) << "one delivery thread";
        EXPECT_FALSE(rig.threads.contains(std::this_thread::get_id()));
    }
}
