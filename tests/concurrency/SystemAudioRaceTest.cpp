// System audio under real concurrency: host threads start and stop while the paced simulated
// device runs cycles on its own thread and the session's queue delivers them. Run under
// ThreadSanitizer; the checks also hold without it.
#include <algorithm>

#include "SystemAudioFixture.h"

namespace ovra::test {
namespace {

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
        ASSERT_TRUE(sessions[i].waitFor(1 + i % 3));
        ov_stop_system_audio();
        atStop.push_back(sessions[i].count());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (size_t i = 0; i < sessions.size(); ++i) EXPECT_EQ(sessions[i].count(), atStop[i]) << i;
    expectNothingLeft();
}

TEST_F(SystemAudioRace, StopInsideTheCallbackRacesAHostStop) {
    const auto log = linesOf([&] {
        for (int i = 0; i < 60; ++i) {
            SystemAudioHost s;
            std::atomic<int> stopsInside{0};
            s.during = [&] {
                if (s.count() != 1) return;
                ov_stop_system_audio();
                ++stopsInside;
            };
            ASSERT_EQ(s.start(), 0);
            ASSERT_TRUE(s.waitFor(1));
            ov_stop_system_audio();  // with the callback's own stop, or just after it
            // When the callback's stop took the session, this one found the slot empty and did not
            // wait: let the callback finish before `s` goes. When this one took it, cycles already
            // queued may still deliver until it returns; after both stops nothing may come.
            EXPECT_TRUE(eventually([&] { return stopsInside == 1 && s.active == 0; }));
            const size_t settled = s.count();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            EXPECT_EQ(s.count(), settled);
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
    EXPECT_EQ(zeros + refusals, 80);
    EXPECT_EQ(std::ranges::count(log, "[tap] System audio capture started (Core Audio Tap)\n"),
              zeros.load());
    EXPECT_EQ(std::ranges::count(log, "[tap] System audio capture stopped\n"), zeros.load());
    expectNothingLeft();
}

}  // namespace
}  // namespace ovra::test
