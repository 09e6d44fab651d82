// Races of audio delivery, run under ThreadSanitizer (the checks also hold without it): the shared
// delivery gate, then live audio paced in real time so that every delivery races the control calls.
#include <algorithm>
#include <future>
#include <random>

#include "SystemAudioFixture.h"
#include "delivery/DeliveryGate.h"
#include "support/Watchdog.h"

namespace ovra::test {
namespace {

using namespace std::chrono_literals;

TEST(DeliveryGate, ClosedGateRunsNothingUntilOpenedAgain) {
    DeliveryGate gate;
    int calls = 0;
    EXPECT_TRUE(gate.run([&] { ++calls; }));
    gate.close();
    EXPECT_FALSE(gate.isOpen());
    EXPECT_FALSE(gate.run([&] { ++calls; }));
    EXPECT_EQ(calls, 1);
    gate.open();
    EXPECT_TRUE(gate.run([&] { ++calls; }));
    EXPECT_EQ(calls, 2);
}

TEST(DeliveryGate, CloseWaitsForTheDeliveryInProgress) {
    DeliveryGate gate;
    std::promise<void> entered, release;
    std::atomic<bool> deliveryDone{false};
    std::thread audio([&, released = release.get_future()] {
        gate.run([&] {
            entered.set_value();
            released.wait();
            deliveryDone = true;
        });
    });
    entered.get_future().wait();
    auto closing = std::async(std::launch::async, [&] {
        gate.close();
        return deliveryDone.load();  // whether close returned only after the delivery ended
    });
    EXPECT_EQ(closing.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    release.set_value();
    audio.join();
    EXPECT_TRUE(closing.get());
}

TEST(DeliveryGateRace, NothingRunsAfterCloseReturns) {
    for (int round = 0; round < 50; ++round) {
        DeliveryGate gate;
        std::atomic<bool> closed{false}, quit{false};
        std::atomic<int> lateDeliveries{0};
        std::vector<std::thread> audio;
        for (int t = 0; t < 3; ++t)
            audio.emplace_back([&] {
                while (!quit.load())
                    gate.run([&] {
                        if (closed.load()) ++lateDeliveries;
                    });
            });
        std::this_thread::sleep_for(std::chrono::microseconds(200 + round * 20));
        gate.close();
        closed = true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        quit = true;
        for (auto& t : audio) t.join();
        ASSERT_EQ(lateDeliveries.load(), 0) << "round " << round;
    }
}

// Two audio threads whose callbacks close each other's gate: neither close may wait there, or
// both would wait for good; each delivery returns only once the gate it closed has drained.
TEST(DeliveryGate, ClosesInsideDeliveriesWaitOnlyOnceTheCallbackHasReturned) {
    auto a = std::make_shared<DeliveryGate>(), b = std::make_shared<DeliveryGate>();
    std::promise<void> aEntered, bEntered;
    auto aIn = aEntered.get_future().share(), bIn = bEntered.get_future().share();
    std::atomic<bool> bDone{false}, aReturnedBeforeBDone{false};
    std::thread threadA([&] {
        a->run([&] {
            aEntered.set_value();
            bIn.wait();
            b->close();
        });
        aReturnedBeforeBDone = !bDone.load();
    });
    std::thread threadB([&] {
        b->run([&] {
            bEntered.set_value();
            aIn.wait();
            a->close();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            bDone = true;
        });
    });
    threadA.join();
    threadB.join();
    EXPECT_FALSE(aReturnedBeforeBDone.load());  // A's run waited for B's delivery to end
    EXPECT_FALSE(a->run([] {}));
    EXPECT_FALSE(b->run([] {}));
}

// 48 frames at 48 kHz: a cycle every millisecond.
class SystemAudioRace : public SystemAudioTest {
  protected:
    void SetUp() override {
        SystemAudioTest::SetUp();
        hardware().setPacing(sim::SimAudioHardware::Pacing{48, 1000.0, 0.5f});
    }
};

TEST_F(SystemAudioRace, NoCallbackAfterStopReturnsWhileCyclesRun) {
    std::vector<SystemAudioHost> sessions(60);
    std::vector<size_t> atStop;
    for (size_t i = 0; i < sessions.size(); ++i) {
        ASSERT_EQ(sessions[i].start(), 0);
        ASSERT_TRUE(sessions[i].waitForChunks(1 + i % 3));
        ov_stop_system_audio();
        atStop.push_back(sessions[i].chunkCount());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (size_t i = 0; i < sessions.size(); ++i)
        EXPECT_EQ(sessions[i].chunkCount(), atStop[i]) << i;
    expectNothingLeft();
}

TEST_F(SystemAudioRace, StopInsideTheCallbackRacesAHostStop) {
    const auto log = linesOf([&] {
        for (int i = 0; i < 60; ++i) {
            SystemAudioHost s;
            std::atomic<int> stopsInside{0};
            s.onChunk = [&] {
                if (s.chunkCount() != 1) return;
                ov_stop_system_audio();
                ++stopsInside;
            };
            ASSERT_EQ(s.start(), 0);
            ASSERT_TRUE(s.waitForChunks(1));
            ov_stop_system_audio();  // with the callback's own stop, or just after it
            // When the callback's stop took the session, this one found the slot empty and did not
            // wait: let the callback finish before `s` goes. When this one took it, cycles already
            // queued may still deliver until it returns; after both stops nothing may come.
            EXPECT_TRUE(eventually([&] { return stopsInside == 1 && s.active == 0; }));
            const size_t settled = s.chunkCount();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            EXPECT_EQ(s.chunkCount(), settled);
        }
    });
    EXPECT_EQ(std::ranges::count(log, "[tap] System audio capture stopped\n"), 60);
    expectNothingLeft();
}

TEST_F(SystemAudioRace, HostsContendForTheSlot) {
    std::atomic<int> zeros{0}, refusals{0}, others{0};
    // A stop on one host may take the other host's session, so sessions live until the end.
    std::vector<SystemAudioHost> sessionsA(40), sessionsB(40);
    auto host = [&](std::vector<SystemAudioHost>& sessions) {
        for (SystemAudioHost& s : sessions) {
            const int32_t code = s.start();
            (code == 0 ? zeros : code == -1 ? refusals : others)++;
            std::this_thread::sleep_for(std::chrono::microseconds(300));
            ov_stop_system_audio();
        }
    };
    const auto log = linesOf([&] {
        std::thread a(host, std::ref(sessionsA)), b(host, std::ref(sessionsB));
        a.join();
        b.join();
        ov_stop_system_audio();
    });
    EXPECT_EQ(others, 0);
    EXPECT_EQ(std::ranges::count(log, "[tap] System audio capture started (Core Audio Tap)\n"),
              zeros.load());
    EXPECT_EQ(std::ranges::count(log, "[tap] System audio capture stopped\n"), zeros.load());
    expectNothingLeft();
}

class MicRaceTest : public SimTest {
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
        ASSERT_EQ(host.codes(), std::vector<int32_t>{0});
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
        system.onChunk = [&] {
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
