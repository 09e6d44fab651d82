// Each capture's data callback stops the other kind, both at the same moment, with and without a
// microphone restart waiting for the microphone's callback: every stop returns, and once the
// host's own stops have returned no callback of either session comes.
#include "MicTestSupport.h"
#include "SystemAudioFixture.h"
#include "support/Watchdog.h"

namespace ovra::test {
namespace {

using namespace std::chrono_literals;

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
