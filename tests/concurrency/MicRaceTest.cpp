// Races of the microphone against live audio: restarts against the stop, a permission answer
// against the stop, a stop from inside the callback against restarts. Engines run paced in real
// time so that every delivery is a real race with the control calls.
#include <random>

#include "MicTestSupport.h"

namespace ovra::test {
namespace {

using namespace std::chrono_literals;

class MicRaceTest : public MicTest {
  protected:
    void SetUp() override {
        MicTest::SetUp();
        engines().setPacing(sim::SimPacing{480, 440, 0.5});  // 10 ms buffers at 48 kHz
    }

    // Everything the session set up is gone.
    void expectAllTornDown() {
        for (auto& e : engines().all()) {
            EXPECT_FALSE(e->isRunning()) << "engine " << e->number();
            EXPECT_FALSE(e->hasTap()) << "engine " << e->number();
        }
        EXPECT_EQ(observers(), 0u);
    }

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
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        platform = installMicPlatform();
        engines().setPacing(sim::SimPacing{480, 440, 0.5});
        auto host = std::make_unique<MicHost>();
        std::atomic<bool> stopReturned{false};
        std::atomic<int> late{0};
        host->onChunk = [&](MicHost&) {
            if (stopReturned) ++late;
        };
        testing::internal::CaptureStderr();
        host->start();
        ASSERT_TRUE(host->waitForChunks(2));

        std::atomic<bool> done{false};
        std::thread a = notifier(done, round), b = notifier(done, round + 100);
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40));
        ov_stop_mic();
        stopReturned = true;
        host.reset();  // a host frees its user pointer right after stop
        std::this_thread::sleep_for(20ms);
        done = true;
        a.join();
        b.join();
        testing::internal::GetCapturedStderr();

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
        platform = installMicPlatform();
        engines().setPacing(sim::SimPacing{480, 440, 0.5});
        permission().setStatus(0);
        MicHost host;
        testing::internal::CaptureStderr();
        host.start();
        ASSERT_EQ(permission().pendingRequests(), 1u);

        std::thread completion = permission().completeNextAsync(true);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
        ov_stop_mic();
        completion.join();
        ASSERT_TRUE(host.waitForStatuses(1));
        EXPECT_EQ(host.statuses().size(), 1u);
        EXPECT_EQ(host.statuses()[0].status, 0);
        EXPECT_NE(host.statuses()[0].thread, std::this_thread::get_id());

        // Whichever came first, one more stop leaves nothing running.
        ov_stop_mic();
        const size_t chunks = host.chunkCount();
        std::this_thread::sleep_for(30ms);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(host.chunkCount(), chunks);
        expectAllTornDown();
    }
}

TEST_F(MicRaceTest, AStopFromInsideTheCallbackRacingRestartsDoesNotDeadlock) {
    size_t restarts = 0;
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        platform = installMicPlatform();
        engines().setPacing(sim::SimPacing{480, 440, 0.5});
        MicHost host;
        const int stopAt = 3 + int(random() % 10);
        std::atomic<int> seen{0};
        std::atomic<bool> stopped{false};
        std::atomic<int> late{0};
        host.onChunk = [&](MicHost&) {
            if (stopped) ++late;
            if (++seen == stopAt) {
                ov_stop_mic();
                stopped = true;
            }
        };
        testing::internal::CaptureStderr();
        host.start();
        std::atomic<bool> done{false};
        std::thread a = notifier(done, round);
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!stopped && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        ASSERT_TRUE(stopped.load());
        std::this_thread::sleep_for(20ms);
        done = true;
        a.join();
        testing::internal::GetCapturedStderr();

        EXPECT_EQ(late.load(), 0);
        expectAllTornDown();
        restarts += engines().count() - 1;
    }
    EXPECT_GT(restarts, 0u);
}

// The restart takes the session's lock and then waits for the callback in progress; that
// callback stops the session. The stop cannot take the lock, so the restart must finish the
// teardown and start nothing.
TEST_F(MicRaceTest, AStopInsideTheCallbackARestartWaitsForHandsTheTeardownToTheRestart) {
    bool restartWasWaiting = false;
    for (int round = 0; round < 5 && !restartWasWaiting; ++round) {
        SCOPED_TRACE(round);
        platform = installMicPlatform();
        MicHost host;
        std::atomic<bool> inCallback{false};
        host.onChunk = [&](MicHost&) {
            inCallback = true;
            // Time for the notifying thread to take the lock and wait for this callback.
            std::this_thread::sleep_for(200ms);
            ov_stop_mic();
        };
        testing::internal::CaptureStderr();
        host.start();
        auto engine = engines().latest();
        engine->feedAsync(tone(440, 0.5, 48000, 0, 4096));
        while (!inCallback) std::this_thread::yield();
        std::thread notifying([&] { postConfigurationChange(*platform, *engine); });
        notifying.join();
        const auto out = lines(testing::internal::GetCapturedStderr());

        restartWasWaiting =
            std::count(out.begin(), out.end(),
                       "[mic] Audio configuration changed, restarting capture\n") == 1;
        EXPECT_EQ(std::count(out.begin(), out.end(), "[mic] Restarted on new device\n"), 0);
        EXPECT_EQ(engines().count(), 1u);
        expectAllTornDown();
    }
    EXPECT_TRUE(restartWasWaiting);
}

TEST_F(MicRaceTest, TwoThreadsPostingTheSameChangeRestartOnce) {
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        platform = installMicPlatform();
        MicHost host;
        testing::internal::CaptureStderr();
        host.start();
        auto engine = engines().latest();
        std::atomic<int> ready{0};
        auto post = [&] {
            ++ready;
            while (ready < 2) std::this_thread::yield();
            postConfigurationChange(*platform, *engine);
        };
        std::thread a(post), b(post);
        a.join();
        b.join();
        const auto out = lines(testing::internal::GetCapturedStderr());
        EXPECT_EQ(std::count(out.begin(), out.end(), "[mic] Restarted on new device\n"), 1);
        EXPECT_EQ(engines().count(), 2u);
        EXPECT_EQ(observers(), 1u);
        testing::internal::CaptureStderr();
        ov_stop_mic();
        testing::internal::GetCapturedStderr();
        expectAllTornDown();
    }
}

}  // namespace
}  // namespace ovra::test
