// Each capture's data callback stops the other kind, both at the same moment, with and without a
// microphone restart waiting for the microphone's callback: every stop returns, and once the
// host's own stops have returned no callback of either session comes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "MicTestSupport.h"
#include "platform/sim/SimAudioHardware.h"
#include "support/Watchdog.h"

namespace ovra::test {
namespace {

using namespace std::chrono_literals;

bool waitFor(const std::atomic<bool>& flag, std::chrono::milliseconds limit = 2000ms) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!flag && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    return flag;
}

struct SystemAudioHost {
    std::function<void()> onChunk;
    std::atomic<int> chunks{0}, statusCode{99};
    static void onData(const uint8_t*, int32_t, void* user) {
        auto& self = *static_cast<SystemAudioHost*>(user);
        ++self.chunks;
        if (self.onChunk) self.onChunk();
    }
    static void onStatus(int32_t code, void* user) {
        static_cast<SystemAudioHost*>(user)->statusCode = code;
    }
};

class CrossKindStop : public MicTest {};

TEST_F(CrossKindStop, EachCallbackStopsTheOtherKindAndEveryStopReturns) {
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
            waitFor(micInside);
            ov_stop_mic();
            micStopped = true;
        };
        mic.onChunk = [&] {
            if (hostStopsReturned) ++late;
            if (micInside.exchange(true)) return;
            waitFor(systemInside);
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
            ov_start_system_audio(SystemAudioHost::onData, &system, SystemAudioHost::onStatus,
                                  &system);
            ASSERT_EQ(system.statusCode, 0);
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
