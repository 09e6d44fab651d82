// Races of the microphone against live audio: restarts against the stop, a permission answer
// against the stop, a stop from inside the callback against restarts and against system audio's
// stop. Engines run paced in real time so that every delivery really races the control calls.
#include <random>

#include "SystemAudioFixture.h"
#include "support/Watchdog.h"

namespace ovra::test {
namespace {

using namespace std::chrono_literals;

class MicRaceTest : public MicTest {
  protected:
    // Posts configuration changes for the newest engine until told to stop, switching the
    // device rate so that each restart really changes something.
    std::thread notifier(std::atomic<bool>& done, int seed) {
        return std::thread([this, &done, seed] {
            std::mt19937 random(seed);
            while (!done) {
                engines().setInputFormat(sim::simInputFormat(random() % 2 ? 48000 : 44100));
                postConfigurationChange(*platform, *engines().latest());
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
            }
        });
    }

    std::mt19937 random{20240601};
};

// The stop comes from the test's thread, or (odd rounds) from inside the data callback.
TEST_F(MicRaceTest, RestartsRacingTheStopLeaveNothingBehindAndNoLateCallback) {
    size_t restarts = 0;
    for (int round = 0; round < 24; ++round) {
        SCOPED_TRACE(round);
        fresh();
        engines().setPacing(sim::SimPacing{480, 440, 0.5});  // 10 ms buffers at 48 kHz
        const bool fromCallback = round % 2;
        const int stopAt = 3 + int(random() % 10);
        auto host = std::make_unique<MicHost>();
        std::atomic<bool> stopped{false};
        std::atomic<int> seen{0}, late{0};
        host->onChunk = [&] {
            if (stopped) ++late;
            if (++seen == stopAt && fromCallback) {
                ov_stop_mic();
                stopped = true;
            }
        };
        linesOf([&] {
            host->start();
            std::atomic<bool> done{false};
            std::thread a = notifier(done, round), b = notifier(done, round + 100);
            // Until the callback stopped the session, or capture is under way.
            eventually([&] { return fromCallback ? stopped.load() : seen >= 2; }, 20s);
            if (!fromCallback) {
                std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40));
                ov_stop_mic();
                stopped = true;
                host.reset();  // a host frees its user pointer right after stop
            }
            std::this_thread::sleep_for(20ms);
            done = true;
            a.join();
            b.join();
        });
        ASSERT_TRUE(stopped.load());
        EXPECT_GE(seen.load(), 2);
        EXPECT_EQ(late.load(), 0);
        expectAllTornDown();
        restarts += engines().count() - 1;
    }
    EXPECT_EQ(MicHost::strayCalls.load(), 0);
    EXPECT_GT(restarts, 0u);  // the race was run, not just the stop
}

TEST_F(MicRaceTest, APermissionAnswerRacingTheStopAnswersOnceAndEndsClean) {
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        fresh();
        engines().setPacing(sim::SimPacing{480, 440, 0.5});  // 10 ms buffers at 48 kHz
        permission().setStatus(0);
        MicHost host;
        size_t chunks = 0;
        linesOf([&] {
            host.start();
            ASSERT_EQ(permission().pendingRequests(), 1u);
            std::thread completion = permission().completeNextAsync(true);
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
            ov_stop_mic();
            completion.join();
            // Whichever came first, one more stop leaves nothing running.
            ov_stop_mic();
            chunks = host.chunkCount();
            std::this_thread::sleep_for(30ms);
        });
        ASSERT_EQ(host.statuses().size(), 1u);
        EXPECT_EQ(host.statuses()[0].status, 0);
        EXPECT_NE(host.statuses()[0].thread, std::this_thread::get_id());
        EXPECT_EQ(host.chunkCount(), chunks);
        expectAllTornDown();
    }
}

// The restart takes the session's lock and then waits for the callback in progress; that
// callback stops the session. The stop cannot take the lock, so the restart must finish the
// teardown and start nothing.
TEST_F(MicRaceTest, AStopInsideTheCallbackARestartWaitsForHandsTheTeardownToTheRestart) {
    bool restartWasWaiting = false;
    for (int round = 0; round < 5 && !restartWasWaiting; ++round) {
        SCOPED_TRACE(round);
        fresh();
        MicHost host;
        std::atomic<bool> inCallback{false};
        host.onChunk = [&] {
            inCallback = true;
            // Time for the notifying thread to take the lock and wait for this callback.
            std::this_thread::sleep_for(200ms);
            ov_stop_mic();
        };
        const auto out = linesOf([&] {
            host.start();
            auto engine = engines().latest();
            engine->feedAsync(tone(440, 0.5, 48000, 0, 4096));
            while (!inCallback) std::this_thread::yield();
            std::thread([&] { postConfigurationChange(*platform, *engine); }).join();
        });
        restartWasWaiting =
            std::count(out.begin(), out.end(),
                       "[mic] Audio configuration changed, restarting capture\n") == 1;
        EXPECT_EQ(std::count(out.begin(), out.end(), "[mic] Restarted on new device\n"), 0);
        EXPECT_EQ(engines().count(), 1u);
        expectAllTornDown();
    }
    EXPECT_TRUE(restartWasWaiting);
}

// Each capture's data callback stops the other kind, both at the same moment, with and without a
// microphone restart waiting for the microphone's callback: every stop returns, and once the
// host's own stops have returned no callback of either session comes.
TEST_F(MicRaceTest, EachKindsCallbackStopsTheOtherAndEveryStopReturns) {
    for (const bool restartWaiting : {false, true}) {
        SCOPED_TRACE(restartWaiting ? "a restart waits for the microphone's callback" : "plain");
        fresh();
        engines().setPacing(sim::SimPacing{480, 440, 0.5});  // 10 ms buffers at 48 kHz
        Watchdog watchdog(30s, "cross-kind stops");
        SystemAudioHost system;
        MicHost mic;
        std::atomic<bool> systemInside{false}, micInside{false}, systemStopped{false},
            micStopped{false}, hostStopsReturned{false};
        std::atomic<int> late{0};
        std::thread restarter;
        system.during = [&] {
            if (hostStopsReturned) ++late;
            if (systemInside.exchange(true)) return;
            eventually([&] { return micInside.load(); }, 2s);
            ov_stop_mic();
            micStopped = true;
        };
        mic.onChunk = [&] {
            if (hostStopsReturned) ++late;
            if (micInside.exchange(true)) return;
            eventually([&] { return systemInside.load(); }, 2s);
            if (restartWaiting) {
                // The restart takes the session's lock, then waits for this very callback.
                restarter =
                    std::thread([&] { postConfigurationChange(*platform, *engines().latest()); });
                std::this_thread::sleep_for(50ms);
            }
            ov_stop_system_audio();
            systemStopped = true;
        };
        linesOf([&] {
            ASSERT_EQ(system.start(), 0);
            const AudioObjectID device = hardware().lastAggregateDevice();
            mic.start();
            while (!(systemStopped && micStopped)) {
                hardware().deliverCycle(device, std::vector<float>(960, 0.1f));
                std::this_thread::sleep_for(5ms);
            }
            ov_stop_system_audio();
            ov_stop_mic();
            hostStopsReturned = true;
            if (restarter.joinable()) restarter.join();
            hardware().deliverCycle(device, std::vector<float>(960, 0.1f));
            std::this_thread::sleep_for(50ms);
        });
        EXPECT_EQ(late, 0);
        EXPECT_EQ(hardware().ioProcCount(), 0u);
        expectAllTornDown();
    }
}

}  // namespace
}  // namespace ovra::test
